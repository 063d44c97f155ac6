/** @file
  brisvane-vars from its command line: the set action's cases through this
  front end, query and clear, --show, words that are not UCS-2, and what is
  done to the file (replaced with its mode kept, or not touched at all).
**/

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>

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

TEST_F (VarsCommandTest, SetActionBehavesAsInTheShell)
{
  struct {
    std::vector<std::string> Words;
    int                      Code;
    BYTES                    Stored;
    std::string              Out;
  } Cases[] = {
    { { "-s", "-NoMap", "-DELAY", "3" }, 0, Ucs2Bytes (u"-nomap -delay 3"), "" },
    { { "--set", "-delay", "007", "-Exit" }, 0, Ucs2Bytes (u"-delay 007 -exit"), "" },
    { { "-s", "-delay", "", "-exit" }, 0, Ucs2Bytes (u"-delay  -exit"), "" },
    { { "-s", "-nomap", "-delay:5" }, 2, {}, "ERROR: Invalid shell startup option: -delay:5\n" },
    { { "-s", "5" }, 2, {}, "ERROR: Invalid shell startup option: 5\n" },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Words[1]);
    const int Cleared = Stored ().empty () ? 14 : 0;

    ASSERT_EQ (Run ({ "-c" }).Code, Cleared);

    VARS_RUN Result = Run (Case.Words);

    EXPECT_EQ (Result.Code, Case.Code);
    EXPECT_EQ (Result.Out, Case.Out);
    EXPECT_EQ (Result.Err, "");
    EXPECT_EQ (Stored (), Case.Stored);
  }
}

// The help screen's CR LF and bare LF both reach the terminal as plain LF.
TEST_F (VarsCommandTest, HelpScreenComesWithPlainLineEnds)
{
  for (const std::vector<std::string> &Words :
       std::vector<std::vector<std::string>> { {}, { "-G" }, { "-S", "-nomap" } }) {
    VARS_RUN Result = Run (Words);

    EXPECT_EQ (Result.Code, Words.size () < 2 ? 0 : 2);
    EXPECT_EQ (std::count (Result.Out.begin (), Result.Out.end (), '\n'), 9);
    EXPECT_EQ (Result.Out.find ('\r'), std::string::npos);
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
  EXPECT_EQ (Run ({ "--show" }).Out, "-nomap -exit\n");
  EXPECT_EQ (Run ({ "-s", "-bogus" }).Code, 2);
  EXPECT_EQ (Run ({ "-g" }).Code, 1);
  EXPECT_EQ (Run ({ "-c" }).Code, 0);
  EXPECT_EQ (Run ({ "-g" }).Code, 0);
  EXPECT_EQ (Run ({ "-c" }).Code, 14);
}

TEST_F (VarsCommandTest, ReplacementKeepsTheModeAndLeavesNoTemporaryFile)
{
  ASSERT_EQ (chmod (File.c_str (), 0640), 0);
  ino_t Before = Inode ();

  ASSERT_EQ (Run ({ "-s", "-nomap" }).Code, 0);

  struct stat Status;
  ASSERT_EQ (stat (File.c_str (), &Status), 0);
  EXPECT_EQ (Status.st_mode & 07777, 0640u);
  EXPECT_NE (Status.st_ino, Before) << "not replaced by rename";
  EXPECT_EQ (Folder.Names (), std::vector<std::string> { "vm_VARS.fd" });
}

// Commands that change nothing must not even replace the file.
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
    { { "-s", "-bogus" }, 2, "" },
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

// QEMU holds shared open-file-description locks on bytes near the start of its drive files.
TEST_F (VarsCommandTest, FileLockedByAVirtualMachineIsRefused)
{
  const BYTES  Image = ReadFile (File);
  int          Fd    = open (File.c_str (), O_RDONLY);
  struct flock Lock;

  ASSERT_GE (Fd, 0);
  memset (&Lock, 0, sizeof (Lock));
  Lock.l_type   = F_RDLCK;
  Lock.l_whence = SEEK_SET;
  Lock.l_start  = 100;
  Lock.l_len    = 1;
  ASSERT_EQ (fcntl (Fd, F_OFD_SETLK, &Lock), 0);
  for (const char *Command : { "-g", "-c" }) {
    VARS_RUN Result = Run ({ Command });

    EXPECT_EQ (Result.Code, 75);
    EXPECT_EQ (
        Result.Err, "brisvane-vars: " + File +
                        ": it is in use (locked, by a running virtual machine most likely)\n");
  }

  EXPECT_EQ (Run ({ "-s", "-nomap" }).Code, 75);
  EXPECT_TRUE (ReadFile (File) == Image);
  close (Fd);
  EXPECT_EQ (Run ({ "-s", "-nomap" }).Code, 0);
}

TEST_F (VarsCommandTest, FileThatCannotBeUsedIsNamedWithTheReason)
{
  EXPECT_EQ (RunVars (Folder.Path + "/none.fd", { "-g" }).Code, 66);
  EXPECT_EQ (RunVars (Folder.Path, { "-g" }).Code, 66);
  if (geteuid () != 0) {
    ASSERT_EQ (chmod (File.c_str (), 0444), 0);
    VARS_RUN Result = Run ({ "-s", "-nomap" });

    EXPECT_EQ (Result.Code, 73);
    EXPECT_EQ (Result.Err, "brisvane-vars: " + File + ": it is read-only; nothing was written\n");
    EXPECT_EQ (Run ({ "-g" }).Code, 0);
  }
}
