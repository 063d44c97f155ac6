/** @file
  What brisvane-vars does to the file itself: edits it in place, keeping
  everything about it; tells a virtual machine's locks from another
  program's; refuses odd files before opening them; and reads a read-only
  file with a compaction cut short as completed.
**/

#include "../nvram/VariableStoreTest.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

class FileMediumTest : public ::testing::Test {
protected:
  SCRATCH_FOLDER Folder;
  std::string    File = Folder.Path + "/vm_VARS.fd";

  void
  SetUp () override
  {
    WriteFile (File, BuildImage (Region, { Neighbour (u"Boot0000", 1, 10), Startup (u"-old") }));
  }

  // Takes write access away from everyone, root included (as an immutable file), or gives it back.
  bool
  ReadOnly (bool On)
  {
    int  Fd    = open (File.c_str (), O_RDONLY);
    int  Flags = 0;
    bool Done  = (geteuid () != 0)
                     ? chmod (File.c_str (), On ? 0444 : 0600) == 0
                     : (ioctl (Fd, FS_IOC_GETFLAGS, &Flags) == 0) &&
                          ((Flags = On ? Flags | FS_IMMUTABLE_FL : Flags & ~FS_IMMUTABLE_FL),
                           ioctl (Fd, FS_IOC_SETFLAGS, &Flags) == 0);

    close (Fd);
    return Done;
  }

  // The value as the firmware would read it from Path.
  static std::u16string
  Stored (const std::string &Path)
  {
    BYTES       Image = ReadFile (Path);
    NVRAM_STORE Store;

    EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Store), NvramStoreValid);
    return Get (&Store);
  }
};

TEST_F (FileMediumTest, EditInPlaceKeepsTheFileAndEverythingAboutIt)
{
  const std::string Linked  = Folder.Path + "/linked.fd";
  const std::string Symlink = Folder.Path + "/symlink.fd";
  const std::string Long    = Folder.Path + "/" + std::string (255, 'v');
  struct stat       Before;
  struct stat       After;
  char              Value[16] = {};

  ASSERT_EQ (chmod (File.c_str (), 0640), 0);
  ASSERT_EQ (link (File.c_str (), Linked.c_str ()), 0);
  ASSERT_EQ (symlink (File.c_str (), Symlink.c_str ()), 0);
  ASSERT_EQ (setxattr (File.c_str (), "user.vm", "kept", 4, 0), 0) << "no user xattrs in /tmp";
  ASSERT_EQ (stat (File.c_str (), &Before), 0);
  EXPECT_EQ (RunVars (Symlink, { "-s", "-nomap" }).Code, 0);
  ASSERT_EQ (stat (File.c_str (), &After), 0);
  EXPECT_EQ (After.st_ino, Before.st_ino);
  EXPECT_EQ (After.st_mode, Before.st_mode);
  EXPECT_EQ (After.st_size, Before.st_size);
  EXPECT_EQ (getxattr (File.c_str (), "user.vm", Value, sizeof (Value)), 4);
  EXPECT_STREQ (Value, "kept");
  EXPECT_EQ (Stored (Linked), u"-nomap") << "the other name of the file";
  std::vector<std::string> Names = Folder.Names ();
  std::sort (Names.begin (), Names.end ());
  EXPECT_EQ (Names, (std::vector<std::string> { "linked.fd", "symlink.fd", "vm_VARS.fd" }));

  // A name as long as a name may be: nothing is created beside it.
  WriteFile (Long, ReadFile (File));
  EXPECT_EQ (RunVars (Long, { "-s", "-exit" }).Code, 0);
  EXPECT_EQ (Stored (Long), u"-exit");
}

// QEMU locks bytes from offset 100 and from 200, which the kernel merges when adjacent; this
// tool locks the whole file. Each case's locks are held through descriptors of their own.
TEST_F (FileMediumTest, LockHoldersAreToldApart)
{
  const std::string VirtualMachine =
      ": it is in use by a running virtual machine (QEMU holds its locks); shut the machine down "
      "first\n";
  const std::string Editor = ": it is locked by another program (another brisvane-vars, most "
                             "likely); try again once it is done\n";
  struct LOCK {
    short Type;
    off_t Start;
    off_t Length;
  };
  struct {
    std::vector<LOCK> Locks;
    int               Code;
    std::string       Err;
    bool              Shared = false; ///< A reader's lock, which keeps no reader out.
  } Cases[] = {
    { { { F_RDLCK, 100, 1 } }, 75, VirtualMachine },
    { { { F_RDLCK, 100, 2 } }, 75, VirtualMachine },
    { { { F_RDLCK, 201, 3 } }, 75, VirtualMachine },
    // Behind another reader's lock over the whole file, which the kernel reports first.
    { { { F_RDLCK, 0, 0 }, { F_RDLCK, 100, 2 } }, 75, VirtualMachine },
    { { { F_WRLCK, 0, 0 } }, 76, Editor },
    { { { F_RDLCK, 0, 0 } }, 76, Editor, true },
    { { { F_RDLCK, 99, 2 } }, 76, Editor },
    { { { F_RDLCK, 299, 2 } }, 76, Editor },
  };
  const BYTES Image = ReadFile (File);

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Locks.back ().Start);
    std::vector<int> Fds;

    for (const LOCK &Held : Case.Locks) {
      struct flock Lock = {};

      Fds.push_back (open (File.c_str (), O_RDWR));
      Lock.l_type   = Held.Type;
      Lock.l_whence = SEEK_SET;
      Lock.l_start  = Held.Start;
      Lock.l_len    = Held.Length;
      ASSERT_EQ (fcntl (Fds.back (), F_OFD_SETLK, &Lock), 0);
    }

    for (std::vector<std::string> Words : { std::vector<std::string> { "-g" }, { "-s", "-x" } }) {
      VARS_RUN Result = RunVars (File, Words);
      bool     Read   = Case.Shared && (Words[0] == "-g");

      EXPECT_EQ (Result.Code, Read ? 1 : Case.Code);
      EXPECT_EQ (Result.Err, Read ? "" : "brisvane-vars: " + File + Case.Err);
    }

    for (int Fd : Fds) {
      close (Fd);
    }

    EXPECT_TRUE (ReadFile (File) == Image);
  }

  EXPECT_EQ (RunVars (File, { "-s", "-nomap" }).Code, 0);
}

// Nothing is opened for reading or writing that is not a regular file, so nothing can block.
TEST_F (FileMediumTest, FileThatCannotBeUsedIsNamedWithTheReason)
{
  const std::string  Fifo     = Folder.Path + "/fifo";
  const std::string  Socket   = Folder.Path + "/socket";
  struct sockaddr_un Address  = {};
  int                Listener = socket (AF_UNIX, SOCK_STREAM, 0);

  Address.sun_family = AF_UNIX;
  strncpy (Address.sun_path, Socket.c_str (), sizeof (Address.sun_path) - 1);
  ASSERT_EQ (bind (Listener, (struct sockaddr *)&Address, sizeof (Address)), 0);
  ASSERT_EQ (mkfifo (Fifo.c_str (), 0600), 0);
  struct {
    std::string Path;
    std::string Reason;
  } Cases[] = {
    { Fifo, "it is a FIFO (named pipe), not an NVRAM file" },
    { Socket, "it is a socket, not an NVRAM file" },
    { "/dev/null", "it is a character device, not an NVRAM file" },
    { Folder.Path, "it is a directory, not an NVRAM file" },
    { Folder.Path + "/none.fd", "cannot open it: No such file or directory" },
  };

  for (auto &Case : Cases) {
    VARS_RUN Result = RunVars (Case.Path, { "-s", "-nomap" });

    EXPECT_EQ (Result.Code, 66);
    EXPECT_EQ (Result.Err, "brisvane-vars: " + Case.Path + ": " + Case.Reason + "\n");
  }

  close (Listener);
}

// A read-only file is read, as the firmware would complete a compaction cut short after its new
// store reached the spare area, and left alone (the cut simulator covers writable files).
TEST_F (FileMediumTest, ReadOnlyFileIsReadAsCompletedAndLeftAlone)
{
  std::vector<RECORD> Records = { Neighbour (u"Boot0000", 1, 10), Startup (u"-old") };
  NVRAM_STORE         Store;
  NVRAM_WRITE_PLAN    Plan = {};
  NVRAM_EDIT          Edit = { &Plan, {} };
  UINTN               Step = 0;

  Fill (Records, 0x3C);
  BYTES Image  = BuildImage (Region, Records);
  BYTES Edited = Image;

  Open (Edited, &Store);
  ASSERT_EQ (Set (&Store, u"-new", &Edit), EFI_SUCCESS);
  // Up to the spare area marked complete and flushed, then half the copy in place.
  for (UINTN Flushes = 0; Flushes < 2; Step++) {
    memcpy (
        &Image[Plan.Steps[Step].Offset], Plan.Bytes + Plan.Steps[Step].Data, Plan.Steps[Step].Size);
    Flushes += (Plan.Steps[Step].Size == 0) ? 1 : 0;
  }

  memcpy (
      &Image[Plan.Steps[Step].Offset], Plan.Bytes + Plan.Steps[Step].Data,
      Plan.Steps[Step].Size / 2);
  NvramFreeWritePlan (&Plan);
  WriteFile (File, Image);
  if (!ReadOnly (true)) {
    GTEST_SKIP () << "cannot make a file read-only here";
  }

  VARS_RUN Shown = RunVars (File, { "--show" });
  VARS_RUN Set   = RunVars (File, { "-s", "-nomap" });

  ReadOnly (false);
  EXPECT_EQ (Shown.Code, 0);
  EXPECT_EQ (Shown.Out, "-new\n");
  EXPECT_EQ (
      Shown.Err, "brisvane-vars: " + File +
                     ": a fault-tolerant write was cut short; read-only, it is read as the "
                     "firmware would complete it\n");
  EXPECT_EQ (Set.Code, 73);
  EXPECT_TRUE (Set.Err.find (": it is read-only; nothing was written\n") != std::string::npos);
  EXPECT_TRUE (ReadFile (File) == Image);
}
