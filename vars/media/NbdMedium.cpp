/** @file
  The NBD side of the media that QEMU serves: connecting, within a time
  limit where the server may hang, and chunked requests.
**/

#include "vars/media/NbdMedium.h"

#include "vars/base/ExitStatus.h"
#include "vars/media/Qcow2Refusal.h"

#include <errno.h>

#include <algorithm>

// The most bytes in one NBD request; QEMU's server takes up to 32 MiB.
#define NBD_CHUNK (1024 * 1024)

// How often a connection that is still being made is looked at, in milliseconds.
#define NBD_POLL_MS 100

/**
  One request per chunk of at most NBD_CHUNK bytes, with Request (libnbd's
  pread or pwrite); returns whether all were made.
**/
template <typename DATA, typename REQUEST>
static bool
InChunksOf (REQUEST Request, nbd_handle *Handle, UINT64 Offset, DATA *Data, UINTN Size)
{
  for (UINTN Done = 0; Done < Size; Done += NBD_CHUNK) {
    UINTN Count = std::min (Size - Done, static_cast<UINTN> (NBD_CHUNK));

    if (Request (Handle, Data + Done, Count, Offset + Done, 0) != 0) {
      return false;
    }
  }

  return true;
}

NBD_MEDIUM::~NBD_MEDIUM ()
{
  Disconnect ();
}

VOID
NBD_MEDIUM::Disconnect (VOID)
{
  if (mHandle != NULL) {
    mNbd->Shutdown (mHandle, 0);
    mNbd->Close (mHandle);
    mHandle = NULL;
  }

  if (mDaemon.Log >= 0) {
    StopStorageDaemon (&mDaemon);
  }
}

int
NBD_MEDIUM::Failure (VOID) const
{
  if (mNbd->IsDead (mHandle) == 1) {
    return ENOTCONN;
  }

  return (mNbd->Errno () != 0) ? mNbd->Errno () : EIO;
}

/**
  Connects Handle to Socket, giving up after Seconds: a server that has
  accepted and not yet answered (QEMU still opening what it serves) is
  waited for that long. Returns whether it is connected, ETIMEDOUT in Late
  when it was given up.
**/
static bool
ConnectWithin (
    const NBD_LIBRARY *Nbd,
    nbd_handle        *Handle,
    const char        *Socket,
    int                Seconds,
    bool              *Late)
{
  int Polls = Seconds * (1000 / NBD_POLL_MS);

  *Late = false;
  if (Seconds == 0) {
    return Nbd->ConnectUnix (Handle, Socket) == 0;
  }

  if (Nbd->AioConnectUnix (Handle, Socket) != 0) {
    return false;
  }

  while (Nbd->AioIsConnecting (Handle) == 1) {
    if ((Polls-- == 0) || (Nbd->Poll (Handle, NBD_POLL_MS) < 0)) {
      *Late = (Polls < 0);
      return false;
    }
  }

  return Nbd->AioIsReady (Handle) == 1;
}

int
NBD_MEDIUM::Connect (const char *What, int Seconds, std::string *Error)
{
  int64_t Size;
  bool    Late = false;

  mHandle = mNbd->Create ();
  if ((mHandle == NULL) || (mNbd->SetExportName (mHandle, STORAGE_DAEMON_NODE) != 0) ||
      !ConnectWithin (mNbd, mHandle, mDaemon.Socket.c_str (), Seconds, &Late)) {
    mLate = Late;
    return VarsRefusal (
        Error, VarsExitStorageDaemon,
        std::string (What) + ", and QEMU's export of it cannot be reached: " +
            (Late ? "QEMU had not opened it after the time allowed" : mNbd->Error ()));
  }

  ForgetStorageDaemonFolder (&mDaemon);
  Size = mNbd->Size (mHandle);
  if (Size < 0) {
    return VarsRefusal (Error, VarsExitCannotRead, "cannot size it", Failure ());
  }

  if (Size > NVRAM_FILE_MAX_SIZE) {
    return VarsRefusal (Error, VarsExitNotAStore, "it is far too large to be an NVRAM file");
  }

  mSize = static_cast<UINT64> (Size);
  return 0;
}

int
NBD_MEDIUM::Read (std::vector<UINT8> *Image)
{
  Image->resize (static_cast<size_t> (mSize));
  return InChunksOf (mNbd->Pread, mHandle, 0, Image->data (), Image->size ()) ? 0 : Failure ();
}

int
NBD_MEDIUM::WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size)
{
  return InChunksOf (mNbd->Pwrite, mHandle, Offset, Data, Size) ? 0 : Failure ();
}

int
NBD_MEDIUM::Flush (VOID)
{
  return (mNbd->Flush (mHandle, 0) == 0) ? 0 : Failure ();
}

int
NBD_MEDIUM::ServeQcow2 (const JSON_LIBRARY *Json, int Fd, bool OverNbd, std::string *Error)
{
  json_object         *Reply = NULL;
  std::string          Message;
  STORAGE_DAEMON_START Start;
  int                  Code;

  Start = StartStorageDaemon (
      Json, Fd, OverNbd, mWritable,
      "{\"execute\":\"query-named-block-nodes\",\"arguments\":{\"flat\":true}}", &mDaemon, &Reply,
      &Message);
  if (Start != StorageDaemonReady) {
    return RefuseQcow2Start (Start, Message, Error);
  }

  Code = JudgeQcow2Image (Json, Reply, mDaemon.ExternalData, Error);
  Json->Put (Reply);
  return Code;
}
