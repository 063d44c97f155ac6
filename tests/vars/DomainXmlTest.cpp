/** @file
  --domain's readings with libxml2: a connection URI told local or remote, a
  domain's NVRAM out of each form of its definition, and the owner of a new
  one out of libvirt's capabilities.
**/

#include "vars/libvirt/DomainXml.h"
#include "vars/base/ExitStatus.h"

#include <gtest/gtest.h>

// Refused before any connection is tried when it may lead to another host.
TEST (DomainXmlTest, RemoteUrisAreToldFromLocalOnes)
{
  const struct {
    const char *Uri;
    int         Code;
    bool        Session;
  } Cases[] = {
    { "qemu:///system", 0, false },
    { "qemu:///session", 0, true },
    { "qemu+unix:///session?socket=/run/user/1000/libvirt/libvirt-sock", 0, true },
    { "qemu+unix:///system?socket=/run/x/libvirt-sock", 0, false },
    { "qemu://host.example/system", VarsExitRemote, false },
    { "qemu+ssh://root@host.example/session", VarsExitRemote, false },
    { "qemu+ssh:///system", VarsExitRemote, false },
    { "qemu+tls://host.example:16514/system", VarsExitRemote, false },
    { "not a URI", VarsExitRemote, false },
  };

  for (const auto &Case : Cases) {
    std::string Error;
    bool        Session = false;

    EXPECT_EQ (CheckLocalUri (Case.Uri, &Session, &Error), Case.Code) << Case.Uri << ": " << Error;
    EXPECT_EQ (Session, Case.Session) << Case.Uri;
  }
}

// Each form of <nvram> that libvirt writes, and those refused.
TEST (DomainXmlTest, NvramIsReadFromEachFormOfTheDefinition)
{
  const std::string Head = "<domain type='kvm'><name>vm</name><os><type>hvm</type>";
  const struct {
    std::string Nvram;
    int         Code;
    const char *Path;
    const char *Template;
  } Cases[] = {
    { "<nvram template='/t.fd'>/var/vm_VARS.fd</nvram>", 0, "/var/vm_VARS.fd", "/t.fd" },
    { "<nvram type='file' template='/t.fd'>\n <source file='/v/a b.fd'/>\n</nvram>", 0, "/v/a b.fd",
      "/t.fd" },
    { "<nvram type='block'><source dev='/dev/vg/vm-efi'/></nvram>", 0, "/dev/vg/vm-efi", "" },
    { "<nvram type='network'><source protocol='nbd' name='vm'><host name='::1' port='7'/>"
      "</source></nvram>",
      0, "nbd://[::1]:7/vm", "" },
    { "<nvram type='network'><source protocol='nbd' name='vm'><host transport='unix' "
      "socket='/run/n.sock'/></source></nvram>",
      0, "nbd+unix:///vm?socket=/run/n.sock", "" },
    { "<nvram type='network'><source protocol='iscsi' name='iqn.2026-12.x:t/1'><host name='h'/>"
      "</source></nvram>",
      0, "iscsi://h:3260/iqn.2026-12.x:t/1", "" },
    { "<nvram type='network'><source protocol='rbd' name='pool/vm'><host name='a' port='1'/>"
      "<host name='b'/><config file='/e:c'/></source></nvram>",
      0, "rbd:pool/vm:mon_host=a\\:1\\;b\\:6789:conf=/e\\:c", "" },
    { "<nvram type='network'><source protocol='rbd' name='pool/vm'><auth username='u'/></source>"
      "</nvram>",
      VarsExitNetworkNvram, "", "" },
    { "<nvram type='network'><source protocol='gluster' name='v/vm'/></nvram>",
      VarsExitNetworkNvram, "", "" },
    { "<nvram type='volume'><source pool='p' volume='v'/></nvram>", VarsExitCannotRead, "", "" },
    { "<nvram template='/t.fd'/>", VarsExitCannotRead, "", "/t.fd" },
    { "", VarsExitNoDomain, "", "" },
  };

  for (const auto &Case : Cases) {
    std::string  Xml = Head + Case.Nvram + "</os></domain>";
    DOMAIN_NVRAM Nvram;
    std::string  Type;
    std::string  Error;

    EXPECT_EQ (ReadDomainNvram (Xml.c_str (), &Nvram, &Type, &Error), Case.Code) << Xml << Error;
    EXPECT_EQ (Nvram.Path, (Case.Code == 0) ? Case.Path : Nvram.Path) << Xml;
    EXPECT_EQ (Nvram.Template, Case.Template) << Xml;
    EXPECT_EQ (Type, "kvm");
  }
}

// The DAC base label of the domain's type; none where there is no DAC model (a session).
TEST (DomainXmlTest, NewNvramOwnerIsTheDacBaseLabel)
{
  const std::string Capabilities =
      "<capabilities><host><secmodel><model>none</model></secmodel><secmodel><model>dac</model>"
      "<baselabel type='kvm'>+64055:+108</baselabel><baselabel type='qemu'>+1:+2</baselabel>"
      "</secmodel></host></capabilities>";
  const struct {
    std::string Type;
    int         Code;
    bool        Owned;
    uid_t       Uid;
    gid_t       Gid;
  } Cases[] = {
    { "kvm", 0, true, 64055, 108 },
    { "qemu", 0, true, 1, 2 },
    { "xen", 0, false, 0, 0 },
    { "kvm']|/x|x['", VarsExitNoDomain, false, 0, 0 },
  };

  for (const auto &Case : Cases) {
    DOMAIN_NVRAM Nvram = {};
    std::string  Error;

    EXPECT_EQ (ReadNvramOwner (Capabilities.c_str (), Case.Type, &Nvram, &Error), Case.Code);
    EXPECT_EQ (Nvram.Owned, Case.Owned) << Case.Type;
    EXPECT_EQ (Nvram.Uid, Case.Owned ? Case.Uid : Nvram.Uid);
    EXPECT_EQ (Nvram.Gid, Case.Owned ? Case.Gid : Nvram.Gid);
  }
}
