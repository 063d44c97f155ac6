/** @file
  brisvane-vars' usage text.
**/

#include "vars/cli/CommandLine.h"

static const char mUsage[] =
    "Usage: brisvane-vars [OPTION...] NVRAM-FILE [WORD...]\n"
    "       brisvane-vars [OPTION...] --domain NAME [OPTION...] [WORD...]\n"
    "       brisvane-vars --help | --version\n"
    "Carries out brisvane's command line, the WORDs (-s|--set OPTION... | -c | -g),\n"
    "on the variable store of a virtual machine's NVRAM file (OVMF_VARS.fd,\n"
    "AAVMF_VARS.fd), block device or network store (QEMU's rbd:, nbd:, nbd+unix:\n"
    "or iscsi: names), while the machine is off. The exit status\n"
    "is the %lasterror% brisvane would leave.\n"
    "Options, in any order, each as --name VALUE or --name=VALUE:\n"
    "  --template TEMPLATE  create NVRAM-FILE from TEMPLATE first; it is removed\n"
    "                       again when the command is refused, unless another run\n"
    "                       has edited it meanwhile\n"
    "  --domain NAME        the NVRAM of a shut-off libvirt domain, in place of\n"
    "                       NVRAM-FILE; made from the domain's template as libvirt\n"
    "                       would if the domain has never started\n"
    "  -c, --connect URI    with --domain, libvirt's URI: LIBVIRT_DEFAULT_URI,\n"
    "                       else qemu:///system\n"
    "  --offline            no virtual machine uses the NVRAM: needed to write to an\n"
    "                       NBD export or iSCSI LUN, whose server shows no user\n"
    "  --timeout SECONDS    how long a network NVRAM's server may take (30)\n"
    "  -g                   the query, as brisvane's -g\n"
    "  --show [--json]      print the stored options, --json as one JSON object\n"
    "The options end at \"--\" or at the first word that is none of them: that\n"
    "word is NVRAM-FILE, or with --domain the first of brisvane's WORDs (a -c\n"
    "with no word after it is brisvane's clear). The words after NVRAM-FILE are\n"
    "brisvane's, but for \"--show\" and \"--show --json\".\n"
    "See brisvane-vars(1).\n";

VOID
PrintVarsUsage (FILE *Stream)
{
  fputs (mUsage, Stream);
}
