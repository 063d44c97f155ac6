/** @file
  What is written once above every medium: a medium that changes size under
  the tool is caught while it is read, before it is written and while it is
  written, each message saying what was written; and a write that a libvirt
  domain's managed save would undo is refused.
**/

#include "TestSupport.h"

#include "vars/media/FileMedium.h"
#include "vars/media/RbdHolders.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

///
/// The file medium on a file that grows by a byte, or fails, at one of its
/// calls: the read is call 0, the plan's steps are calls 1 on.
///
class CHANGING_FILE : public FILE_MEDIUM {
public:
  int GrowAt = -1;
  int FailAt = -1;
  int Calls  = 0;
  int Made   = 0;

  int
  Read (std::vector<UINT8> *Image) override
  {
    return Call () ? EIO : FILE_MEDIUM::Read (Image);
  }

  int
  WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size) override
  {
    return Call () ? EIO : FILE_MEDIUM::WriteAt (Offset, Data, Size);
  }

  int
  Flush (VOID) override
  {
    return Call () ? EIO : FILE_MEDIUM::Flush ();
  }

private:
  bool
  Call (VOID)
  {
    struct stat Status;

    if ((Calls == GrowAt) && (fstat (mFd, &Status) == 0)) {
      EXPECT_EQ (ftruncate (mFd, Status.st_size + 1), 0);
    }

    Made += ((Calls > 0) && (Calls != FailAt)) ? 1 : 0;
    return Calls++ == FailAt;
  }
};

TEST (MediumTest, ChangedSizeIsCaughtAndSaysWhatWasWritten)
{
  const char *Changed = "it changed size %s, from 131072 to 131073 bytes: another program changed "
                        "it, ignoring the lock; %s";
  struct {
    int         GrowAt;
    int         FailAt;
    int         Code;
    const char *When; ///< NULL for a message of its own, in What.
    const char *What;
    int         Made;
  } Cases[] = {
    { 0, -1, 74, "while it was being read", "nothing was written", 0 },
    // Grown between the read and the replay.
    { 99, -1, 74, "after it was read", "nothing was written", 0 },
    { 2, -1, 74, "while it was being written", "3 of its 3 writes and flushes were made", 3 },
    { 1, 2, 74, "while it was being written",
      "1 of its 3 writes and flushes were made, and the next failed", 1 },
    { -1, 2, 73, NULL,
      "cannot write it (step 2 of 3): Input/output error; its writes are ordered so that it "
      "still reads as before or after them",
      1 },
  };
  SCRATCH_FOLDER    Folder;
  const std::string File    = Folder.Path + "/vm_VARS.fd";
  NVRAM_WRITE       Steps[] = { { 16, 2, 0 }, { 0, 0, 0 }, { 32, 2, 0 } };
  UINT8             Bytes[] = { 0xAA, 0x55 };
  NVRAM_WRITE_PLAN  Plan    = {};

  Plan.Steps = Steps;
  Plan.Count = 3;
  Plan.Bytes = Bytes;
  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.What);
    CHANGING_FILE *Medium = new CHANGING_FILE ();
    NVRAM_IMAGE    Image;
    std::string    Error;
    char           Expected[320];
    struct stat    Probed;
    int            Probe;
    int            Code;

    WriteFile (File, ReadFile (OVMF_VARS_2M));
    Probe = open (File.c_str (), O_PATH);
    ASSERT_EQ (fstat (Probe, &Probed), 0);
    Image.Medium.reset (Medium);
    ASSERT_EQ (Medium->Open (File.c_str (), Probe, &Probed, false, &Error), 0) << Error;
    close (Probe);
    Medium->GrowAt = Case.GrowAt;
    Medium->FailAt = Case.FailAt;
    Code           = ReadNvramImage (&Image, &Error);
    if (Case.GrowAt == 99) {
      ASSERT_EQ (truncate (File.c_str (), 131073), 0);
    }

    Code = (Code != 0) ? Code : ReplayWritePlan (&Image, &Plan, &Error);
    snprintf (
        Expected, sizeof (Expected), (Case.When != NULL) ? Changed : "%s%s",
        (Case.When != NULL) ? Case.When : "", Case.What);
    EXPECT_EQ (Code, Case.Code);
    EXPECT_EQ (Error, Expected);
    EXPECT_EQ (Medium->Made, Case.Made);
  }
}

// A domain's NVRAM is known by its place and name, under libvirt's folder for system or session
// domains, links resolved; reading it is harmless, writing it is refused.
TEST (MediumTest, ManagedSaveOfTheDomainRefusesWrites)
{
  SCRATCH_FOLDER Folder;
  char          *Real = realpath (Folder.Path.c_str (), NULL);
  std::string    Qemu = std::string (Real) + "/libvirt/qemu";
  std::string    Link = Folder.Path + "/link.fd";
  std::string    Refusal =
      ": it is the NVRAM of libvirt domain vm_1, whose managed save image " + Qemu +
      "/save/vm_1.save puts the saved NVRAM back when the domain starts, undoing the edit; "
      "nothing was written (start and shut down the domain first, or drop the image with virsh "
      "managedsave-remove vm_1)\n";
  struct {
    std::string              Path;
    std::vector<std::string> Words;
    int                      Code;
    std::string              Err;
  } Cases[] = {
    { Qemu + "/nvram/vm_1_VARS.fd", { "-s", "-nomap" }, 79, Refusal },
    { Link, { "-s", "-nomap" }, 79, Refusal },
    { Qemu + "/nvram/vm_1_VARS.fd", { "--show" }, 0, "" },
    { Qemu + "/nvram/vm_2_VARS.fd", { "-s", "-nomap" }, 0, "" },
    { Qemu + "/nvram/vm_1.fd", { "-s", "-nomap" }, 0, "" },
  };

  free (Real);
  ASSERT_TRUE (std::filesystem::create_directories (Qemu + "/nvram"));
  ASSERT_TRUE (std::filesystem::create_directories (Qemu + "/save"));
  WriteFile (Qemu + "/save/vm_1.save", BYTES (16));
  ASSERT_EQ (symlink ((Qemu + "/nvram/vm_1_VARS.fd").c_str (), Link.c_str ()), 0);
  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Path);
    WriteFile (Case.Path, ReadFile (OVMF_VARS_2M));
    VARS_RUN Result = RunVars (Case.Path, Case.Words);

    EXPECT_EQ (Result.Code, Case.Code);
    EXPECT_EQ (Result.Err, Case.Err.empty () ? "" : "brisvane-vars: " + Case.Path + Case.Err);
    EXPECT_EQ (
        ReadFile (Case.Path) == ReadFile (OVMF_VARS_2M), Case.Words[0] != "-s" || Case.Code != 0);
  }
}

// A read opens the file for reading alone and takes a reader's lock, which another reader's probe
// passes; an edit opens it for writing, and its lock keeps every other lock out.
TEST (MediumTest, ReadsOpenForReadingAlone)
{
  SCRATCH_FOLDER    Folder;
  const std::string File = Folder.Path + "/vm_VARS.fd";

  WriteFile (File, ReadFile (OVMF_VARS_2M));
  for (bool ReadOnly : { true, false }) {
    SCOPED_TRACE (ReadOnly);
    NVRAM_IMAGE  Image;
    std::string  Error;
    struct flock Probe = {};
    int          Other = open (File.c_str (), O_RDONLY);

    const NVRAM_ACCESS Access = { ReadOnly, false, 30 };
    ASSERT_EQ (OpenNvramImage (File.c_str (), &Access, &Image, &Error), 0) << Error;
    Probe.l_type   = F_RDLCK;
    Probe.l_whence = SEEK_SET;
    ASSERT_EQ (fcntl (Other, F_OFD_GETLK, &Probe), 0);
    EXPECT_EQ (Image.Medium->Writable (), !ReadOnly);
    EXPECT_EQ (Probe.l_type, ReadOnly ? F_UNLCK : F_WRLCK);
    close (Other);
  }
}

// QEMU's rbd: names taken apart as QEMU takes them, escapes, namespace and snapshot included:
// pool|namespace|image|snapshot|conf|user|the other keys, or NULL where QEMU refuses the name.
TEST (MediumTest, RbdNamesAreTakenApartAsQemuTakesThem)
{
  const struct {
    const char *Path;
    const char *Parts;
  } Cases[] = {
    { "rbd:pve/vm-100-disk-1:conf=/etc/pve/ceph.conf:id=admin:keyring=/etc/pve/priv/pve.keyring",
      "pve||vm-100-disk-1||/etc/pve/ceph.conf|admin|keyring=/etc/pve/priv/pve.keyring;" },
    { "rbd:p/ns/img@snap:mon_host=a\\:6789\\;b", "p|ns|img|snap|||mon_host=a:6789;b;" },
    { "rbd:p/i\\:x", "p||i:x||||" },
    { "rbd:p", NULL },
    { "rbd:p/i:conf", NULL },
    { "rbd:/i", NULL },
  };

  for (const auto &Case : Cases) {
    RBD_NAME    Name;
    std::string Parts;

    ASSERT_EQ (ParseRbdName (Case.Path, &Name), Case.Parts != NULL) << Case.Path;
    Parts = Name.Pool + "|" + Name.Namespace + "|" + Name.Image + "|" + Name.Snapshot + "|" +
            Name.Conf + "|" + Name.User + "|";
    for (const auto &Option : Name.Options) {
      Parts += Option.first + "=" + Option.second + ";";
    }

    EXPECT_EQ (Parts, (Case.Parts != NULL) ? Case.Parts : Parts) << Case.Path;
  }
}
