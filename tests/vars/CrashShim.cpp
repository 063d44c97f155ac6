/** @file
  A crash for brisvane-vars, preloaded with LD_PRELOAD: counts its writes
  (pwrite) and flushes (fdatasync), and kills the process with SIGKILL at
  the one numbered BRISVANE_CRASH_AT, counting from 1: before a flush, or
  for a write after its first half when BRISVANE_CRASH_TORN is set and
  before it otherwise. Without BRISVANE_CRASH_AT it changes nothing.
**/

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

static unsigned long mCalls;

// True when this call is the one to die at.
static bool
IsTheCrash (void)
{
  const char *At = getenv ("BRISVANE_CRASH_AT");

  return (At != NULL) && (++mCalls == strtoul (At, NULL, 10));
}

template <typename ROUTINE>
static ROUTINE
Next (const char *Name)
{
  return reinterpret_cast<ROUTINE> (dlsym (RTLD_NEXT, Name));
}

static ssize_t
Write (const char *Name, int Fd, const void *Buffer, size_t Count, off_t Offset)
{
  auto Real = Next<ssize_t (*) (int, const void *, size_t, off_t)> (Name);

  if (IsTheCrash ()) {
    if (getenv ("BRISVANE_CRASH_TORN") != NULL) {
      Real (Fd, Buffer, Count / 2, Offset);
    }

    kill (getpid (), SIGKILL);
  }

  return Real (Fd, Buffer, Count, Offset);
}

extern "C" ssize_t
pwrite (int Fd, const void *Buffer, size_t Count, off_t Offset)
{
  return Write ("pwrite", Fd, Buffer, Count, Offset);
}

extern "C" ssize_t
pwrite64 (int Fd, const void *Buffer, size_t Count, off_t Offset)
{
  return Write ("pwrite64", Fd, Buffer, Count, Offset);
}

extern "C" int
fdatasync (int Fd)
{
  if (IsTheCrash ()) {
    kill (getpid (), SIGKILL);
  }

  return Next<int (*) (int)> ("fdatasync") (Fd);
}
