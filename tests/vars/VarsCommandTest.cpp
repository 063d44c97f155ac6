/** @file
  brisvane-vars from its command line: a set's words converted and its value
  in the file, the help screen, query and clear, --show, words that are not
  UCS-2, the writes the firmware would refuse, each with its message and
  status, and a file left alone when nothing changes.
**/

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>

static const EFI_GUID Shell = ShellGuid ();

class VarsCommandTest : public ::testing::Test {
protected:
  SCRATCH_FOLDER Folder;
  std::string    File = Folder.Path + "/vm_VARS.fd";

  void
  SetUp () override
  {
    BYTES Template = ReadFile (OVMF_VARS_4M);

    ASSERT_GT (Template.size (), 0u) << "missing " OVMF_VARS_4M " (package ovmf)";
    WriteFile (File, Template);
  }

  VARS_RUN
  Run (const std::vector<std::string> &Words)
  {
    return RunVars (File, Words);
  }

  // The value as the firmware would read it from the file; none when it is absent.
  BYTES
  Stored ()
  {
    BYTES       Image = ReadFile (File);
    NVRAM_STORE Store;
    BYTES       Data (512);
    UINTN       DataSize = Data.size ();

    EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Store), NvramStoreValid);
    if (NvramStoreGetVariable (&Store, u"Brisvane", &Shell, NULL, &DataSize, Data.data ()) !=
        EFI_SUCCESS) {
      return {};
    }

    Data.resize (DataSize);
    return Data;
  }

  ino_t
  Inode ()
  {
    struct stat Status;

    EXPECT_EQ (stat (File.c_str (), &Status), 0);
    return Status.st_ino;
  }
};

// The words reach the set action as writable UCS-2 strings, an empty one too, and what it joins is
// what the file holds; the set action's own rules are SetStartupOptionsTest's.
TEST_F (VarsCommandTest, SetWritesTheConvertedWordsToTheFile)
{
  struct {
    std::vector<std::string> Words;
    int                      Code;
    BYTES                    Stored;
    std::string              Err;
  } Cases[] = {
    { { "-s", "-NoMap", "-DELAY", "3" }, 0, Ucs2Bytes (u"-nomap -delay 3"), "" },
    { { "-s", "-delay", "", "-exit" }, 0, Ucs2Bytes (u"-delay  -exit"), "" },
    { { "-s", "-nomap", "-Bogus" }, 2, {}, "ERROR: Invalid shell startup option: -bogus\n" },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Words[1]);
    const int Cleared = Stored ().empty () ? 14 : 0;

    ASSERT_EQ (Run ({ "-c" }).Code, Cleared);

    VARS_RUN Result = Run (Case.Words);

    EXPECT_EQ (Result.Code, Case.Code);
    EXPECT_EQ (Result.Out, "");
    EXPECT_EQ (Result.Err, Case.Err);
    EXPECT_EQ (Stored (), Case.Stored);
  }
}

// Words that ask for no action give the whole help screen once, on standard output (its line ends
// are NvramPlatformTest's). "--json" without "--show" is one unknown word, as it is to brisvane.
TEST_F (VarsCommandTest, HelpScreenAnswersWordsThatAskForNoAction)
{
  for (const std::vector<std::string> &Words : std::vector<std::vector<std::string>> {
           {}, { "-G" }, { "--json" }, { "-S", "-nomap" }, { "--json", "--show" } }) {
    VARS_RUN Result = Run (Words);

    EXPECT_EQ (Result.Code, Words.size () < 2 ? 0 : 2);
    EXPECT_EQ (std::count (Result.Out.begin (), Result.Out.end (), '\n'), 9);
    EXPECT_NE (Result.Out.find ("Usage: brisvane -s [-nomap]"), std::string::npos);
  }

  EXPECT_TRUE (Stored ().empty ());
}

TEST_F (VarsCommandTest, QueryClearAndShowFollowTheFile)
{
  EXPECT_EQ (Run ({ "-g" }).Code, 0);
  EXPECT_EQ (Run ({ "--show" }).Out, "Brisvane is not set.\n");
  EXPECT_EQ (Run ({ "-s", "-nomap", "-exit" }).Code, 0);
  EXPECT_EQ (Run ({ "-g" }).Code, 1);
  EXPECT_EQ (RunVarsLine ({ "-g", File }).Code, 1);
  EXPECT_EQ (Run ({ "--show" }).Out, "-nomap -exit\n");
  EXPECT_EQ (RunVarsLine ({ "--show", "--", File }).Out, "-nomap -exit\n");
  EXPECT_EQ (Run ({ "-s", "-bogus" }).Code, 2);
  EXPECT_EQ (Run ({ "-g" }).Code, 1);
  EXPECT_EQ (Run ({ "-c" }).Code, 0);
  EXPECT_EQ (Run ({ "-g" }).Code, 0);
  EXPECT_EQ (Run ({ "-c" }).Code, 14);
}

// JSON, absent and present, with --show and --json after the file or, in any order, before it.
TEST_F (VarsCommandTest, ScriptFormsAnswerOnStandardOutput)
{
  const std::vector<std::vector<std::string>> Lines = { { "--show", "--json", File },
                                                        { "--json", "--show", File },
                                                        { "--json", "--show", "--", File } };
  const std::string Absent  = "{\"present\": false, \"value\": null, \"attributes\": null, "
                              "\"attribute_names\": null, \"size\": null}\n";
  const std::string Present = "{\"present\": true, \"value\": \"-nomap -exit\", "
                              "\"attributes\": 3, \"attribute_names\": [\"NV\", \"BS\"], "
                              "\"size\": 26}\n";

  EXPECT_EQ (Run ({ "--show", "--json" }).Out, Absent);
  EXPECT_EQ (Run ({ "-s", "-NoMap", "-exit" }).Code, 0);
  EXPECT_EQ (Run ({ "--show", "--json" }).Out, Present);
  for (const std::vector<std::string> &Line : Lines) {
    EXPECT_EQ (RunVarsLine (Line).Out, Present);
  }
}

// The forms without an NVRAM file, and those that are none of the forms: why, then the usage text,
// on standard error. A remote URI is refused before libvirt is asked, which shows the line reached
// the domain.
TEST (VarsCommandLineTest, FormsWithoutAFileAnswerOrShowTheUsage)
{
  const std::string Usage  = "Usage: brisvane-vars [OPTION...] NVRAM-FILE";
  const std::string Remote = "brisvane-vars: domain vm: qemu+ssh://host/system is not a local";
  const std::string Ssh    = "qemu+ssh://host/system";
  const std::string Timeout =
      "brisvane-vars: --timeout takes a whole number of seconds from 1 to 3600\n";
  struct {
    std::vector<std::string> Line;
    int                      Code;
    std::string              Out;
    std::string              Err;
  } Cases[] = {
    { { "--version" }, 0, "brisvane-vars ", "" },
    { { "--help" }, 0, Usage, "" },
    { { "-h" }, 0, Usage, "" },
    { { "--domain", "vm", "--help" }, 0, Usage, "" },
    { {}, 64, "", "brisvane-vars: no NVRAM-FILE or --domain\n" },
    { { "--template" }, 64, "", "brisvane-vars: --template needs a value\n" },
    { { "--template", OVMF_VARS_4M }, 64, "", "brisvane-vars: no NVRAM-FILE or --domain\n" },
    { { "--domain" }, 64, "", "brisvane-vars: --domain needs a value\n" },
    { { "--domain", "vm", "--template", OVMF_VARS_4M, "-g" },
      64,
      "",
      "brisvane-vars: --template does not go with --domain\n" },
    { { "--domain", "vm", "--domain=vm2", "-g" },
      64,
      "",
      "brisvane-vars: --domain is given twice\n" },
    { { "--connect", "qemu:///system", "vm_VARS.fd", "-g" },
      64,
      "",
      "brisvane-vars: --connect goes with --domain\n" },
    { { "-c", "qemu:///system", "vm_VARS.fd" },
      64,
      "",
      "brisvane-vars: --connect goes with --domain\n" },
    { { "--bogus", "vm_VARS.fd", "-g" }, 64, "", "brisvane-vars: unknown option --bogus\n" },
    { { "--domain", "vm", "--nomap" }, 64, "", "brisvane-vars: unknown option --nomap\n" },
    { { "--set", "-nomap", "--domain", "vm" }, 64, "", "brisvane-vars: unknown option --set\n" },
    { { "--show=text", "vm_VARS.fd" }, 64, "", "brisvane-vars: --show takes no value\n" },
    { { "--json", "vm_VARS.fd" }, 64, "", "brisvane-vars: --json goes with --show\n" },
    { { "-g", "--show", "vm_VARS.fd" },
      64,
      "",
      "brisvane-vars: -g does not go with --show or --json\n" },
    { { "--show", "vm_VARS.fd", "-g" },
      64,
      "",
      "brisvane-vars: --show does not go with brisvane's words\n" },
    { { "--connect", Ssh, "--domain", "vm", "-g" }, 68, "", Remote },
    { { "-g", "--domain", "vm", "-c", Ssh }, 68, "", Remote },
    { { "--domain=vm", "-c" + Ssh, "--show", "--json" }, 68, "", Remote },
    { { "--json", "--connect=" + Ssh, "--show", "--domain", "vm" }, 68, "", Remote },
    { { "--domain", "vm", "--connect", Ssh, "--set", "-nomap" }, 68, "", Remote },
    // A line end in a name stays within the one line of its refusal.
    { { "no\nsuch_VARS.fd", "-g" },
      66,
      "",
      "brisvane-vars: no\\x0asuch_VARS.fd: cannot open it: No such file or directory\n" },
    { { "--", "--help" }, 66, "", "brisvane-vars: --help: cannot open it" },
    { { "--bogus=\n", "-g" }, 64, "", "brisvane-vars: unknown option --bogus=\\x0a\n" },
    { { "--timeout=0", "vm_VARS.fd", "-g" }, 64, "", Timeout },
    { { "--timeout", "3601", "vm_VARS.fd", "-g" }, 64, "", Timeout },
    { { "--timeout", "5s", "vm_VARS.fd", "-g" }, 64, "", Timeout },
    { { "--offline=yes", "vm_VARS.fd" }, 64, "", "brisvane-vars: --offline takes no value\n" },
    { { "--template", OVMF_VARS_4M, "nbd://127.0.0.1/x", "-g" },
      64,
      "",
      "brisvane-vars: --template makes a file, and NVRAM-FILE names a store on the network\n" },
    // Taken as options before the NVRAM in any order, they reach the medium: a plain file's.
    { { "--timeout=7", "--offline", "-g", "--", "no_VARS.fd" },
      66,
      "",
      "brisvane-vars: no_VARS.fd: cannot open it" },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Line.empty () ? "" : Case.Line.back ());
    VARS_RUN Result = RunVarsLine (Case.Line);

    EXPECT_EQ (Result.Code, Case.Code);
    EXPECT_EQ (Result.Out.substr (0, Case.Out.size ()), Case.Out);
    EXPECT_EQ (Result.Out.empty (), Case.Out.empty ());
    EXPECT_EQ (Result.Err.substr (0, Case.Err.size ()), Case.Err);
    EXPECT_EQ (Result.Err.empty (), Case.Err.empty ());
    EXPECT_EQ (Result.Err.substr (Case.Err.size (), Usage.size ()) == Usage, Case.Code == 64);
  }
}

// A file made from a template stays only when the command succeeds; an existing one is never
// overwritten.
TEST_F (VarsCommandTest, TemplateMakesTheFileOrLeavesNothing)
{
  const std::string New   = Folder.Path + "/new_VARS.fd";
  BYTES             Taken = ReadFile (File);

  EXPECT_EQ (RunVarsLine ({ "--template", OVMF_VARS_4M, New, "-s", "-bogus" }).Code, 2);
  EXPECT_EQ (access (New.c_str (), F_OK), -1);
  EXPECT_EQ (RunVarsLine ({ "--template", OVMF_VARS_4M, File, "-s", "-exit" }).Code, 73);
  EXPECT_TRUE (ReadFile (File) == Taken);
  EXPECT_EQ (RunVarsLine ({ "--template", OVMF_VARS_4M, New, "-s", "-exit" }).Code, 0);
  EXPECT_EQ (RunVars (New, { "--show" }).Out, "-exit\n");
}

// Commands that change nothing write nothing.
TEST_F (VarsCommandTest, FileIsUntouchedWhenNothingChanges)
{
  struct {
    std::vector<std::string> Words;
    int                      Code;
    const char              *Err;
  } Cases[] = {
    { { "-s", "-nomap" }, 0, "" },
    { { "-g" }, 1, "" },
    { { "--show" }, 0, "" },
    { { "-s", "-bogus" }, 2, "ERROR: Invalid shell startup option: -bogus\n" },
    { { "-s", "-nomap", "\xC3" },
      2,
      "brisvane-vars: word 3 after the file is not valid UTF-8; nothing was written\n" },
    { { "-s", "-\xF0\x9F\x98\x80" },
      2,
      "brisvane-vars: word 2 after the file has a character beyond U+FFFF, which UCS-2 cannot "
      "hold; nothing was "
      "written\n" },
  };

  ASSERT_EQ (Run ({ "-s", "-nomap" }).Code, 0);
  const BYTES Image  = ReadFile (File);
  const ino_t Before = Inode ();

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Words.back ());
    VARS_RUN Result = Run (Case.Words);

    EXPECT_EQ (Result.Code, Case.Code);
    EXPECT_EQ (Result.Err, Case.Err);
    EXPECT_EQ (Inode (), Before);
    EXPECT_TRUE (ReadFile (File) == Image);
  }
}

// Each refusal says why in one line naming the file, with a status of its own, and writes nothing.
TEST_F (VarsCommandTest, RefusedWritesSayWhy)
{
  // With "-delay " and the NUL, the largest value of the 4 MB build: 0x8400 bytes less 60 of header
  // and 18 of name (VariableWriteTest sets it).
  const std::string Long (16849, '7');
  const std::string Prefix = "brisvane-vars: " + File + ": refused: ";
  struct {
    const char              *Case;
    std::vector<RECORD>      Stored;
    std::vector<std::string> Words;
    int                      Code;
    std::string              Err;
  } Cases[] = {
    { "attributes differ",
      { { u"Brisvane", Shell, 0x7, Ucs2Bytes (u"-exit") } },
      { "-s", "-nomap" },
      77,
      "Brisvane is stored with attributes 0x7 (NV+BS+RT), not 0x3 (NV+BS) as brisvane writes it, "
      "and the firmware would refuse this write as well" },
    { "clear, attributes differ",
      { { u"Brisvane", Shell, 0x7, Ucs2Bytes (u"-exit") } },
      { "-c" },
      77,
      "Brisvane is stored with attributes 0x7 (NV+BS+RT), not 0x3 (NV+BS) as brisvane writes it, "
      "and the firmware would refuse this write as well" },
    { "one character over the 4 MB limit",
      {},
      { "-s", "-delay", Long + "7" },
      78,
      "the value is too large for this store: Brisvane would take 33794 bytes with its record "
      "header and name, over the 33792 (0x8400) that OVMF's 4 MB build takes" },
    { "100,000 words",
      {},
      { "-s" },
      78,
      "the value is too large for this store: Brisvane would take 1400078 bytes with its record "
      "header and name, over the 33792 (0x8400) that OVMF's 4 MB build takes" },
    { "store full even when compacted",
      { { u"Fill", OtherGuid (1), 0x7, BYTES (0x40000 - 0x64 - 60 - 10 - 100, 1) } },
      { "-s", "-nomap", "-nostartup", "-noversion" },
      9,
      "the variable store is full even after compaction: 100 bytes free, 136 needed" },
  };

  Cases[3].Words.resize (100001, "-nomap");
  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Case);
    BYTES Image  = ReadFile (OVMF_VARS_4M);
    UINTN Offset = 0x64;

    for (const RECORD &Record : Case.Stored) {
      Offset = PutRecord (Image, Offset, Record);
    }

    WriteFile (File, Image);
    VARS_RUN Result = Run (Case.Words);

    EXPECT_EQ (Result.Code, Case.Code);
    EXPECT_EQ (Result.Err, Prefix + Case.Err + "\n");
    EXPECT_TRUE (ReadFile (File) == Image);
  }
}

// The README's table of exit statuses is the enum's comments, word for word.
TEST (VarsExitStatusTest, ReadmeTableIsTheEnum)
{
  std::map<int, std::string> Documented;
  std::map<int, std::string> Declared;
  std::ifstream              Readme (BRISVANE_SOURCE_DIR "README.md");
  std::ifstream              Header (BRISVANE_SOURCE_DIR "vars/base/ExitStatus.h");
  std::smatch                Match;
  std::string                Comment;

  for (std::string Line; std::getline (Readme, Line);) {
    if (std::regex_match (Line, Match, std::regex ("\\| ([0-9]+) \\| (.+) \\|"))) {
      Documented[std::stoi (Match[1])] = Match[2];
    }
  }

  for (std::string Line; std::getline (Header, Line);) {
    if (std::regex_match (Line, Match, std::regex (" *VarsExit[A-Za-z0-9]+ = ([0-9]+),"))) {
      Declared[std::stoi (Match[1])] = Comment;
    }

    bool Continued = std::regex_match (Line, Match, std::regex (" */// (.+)"));

    Comment = !Continued         ? ""
              : Comment.empty () ? std::string (Match[1])
                                 : Comment + " " + std::string (Match[1]);
  }

  EXPECT_EQ (Documented.size (), 26u);
  EXPECT_EQ (Declared, Documented);
}

// The manual page lists every status of the enum once, in order.
TEST (VarsExitStatusTest, ManualPageListsEveryStatusInOrder)
{
  std::ifstream    Manual (BRISVANE_SOURCE_DIR "vars/brisvane-vars.1");
  std::ifstream    Header (BRISVANE_SOURCE_DIR "vars/base/ExitStatus.h");
  std::vector<int> Listed;
  std::vector<int> Declared;
  std::smatch      Match;
  bool             InStatuses = false;
  bool             Item       = false;

  for (std::string Line; std::getline (Manual, Line);) {
    InStatuses = (Line.rfind (".SH", 0) == 0) ? (Line == ".SH EXIT STATUS") : InStatuses;
    if (InStatuses && Item && std::regex_match (Line, Match, std::regex ("\\.B ([0-9]+)"))) {
      Listed.push_back (std::stoi (Match[1]));
    }

    Item = (Line == ".TP");
  }

  for (std::string Line; std::getline (Header, Line);) {
    if (std::regex_match (Line, Match, std::regex (" *VarsExit[A-Za-z0-9]+ = ([0-9]+),"))) {
      Declared.push_back (std::stoi (Match[1]));
    }
  }

  EXPECT_EQ (Listed, Declared);
}
