/** @file
  A medium that QEMU serves to this run over NBD on a private socket: read
  in chunks, written in chunks, each flush an NBD flush, which QEMU passes
  down to what it serves (a qcow2 image's metadata and file, a network
  store's server). The qcow2 and the network media are this, each with its
  own server.
**/

#ifndef NBD_MEDIUM_H_
#define NBD_MEDIUM_H_

#include "vars/dl/Json.h"
#include "vars/dl/Nbd.h"
#include "vars/media/DaemonProcess.h"
#include "vars/media/Medium.h"

///
/// A store read and written over NBD, from QEMU's export.
///
class NBD_MEDIUM : public NVRAM_MEDIUM {
public:
  ~NBD_MEDIUM () override;

  int Read (std::vector<UINT8> *Image) override;
  int WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size) override;
  int Flush (VOID) override;

  bool
  Writable (VOID) const override
  {
    return mWritable;
  }

protected:
  /**
    Connects to the export on the daemon's socket, within Seconds (0 for no
    limit), removes the daemon's folder, and sizes the export.

    @param[in]  What     What the store is, for the messages ("it is a qcow2
                         image").
    @param[in]  Seconds  How long the server may take to answer.
    @param[out] Error    Receives a message on failure.

    @retval 0                      Connected; mSize holds its size.
    @retval VarsExitStorageDaemon  The export cannot be reached in time;
                                   the message is libnbd's.
    @return                        Another VARS_EXIT status otherwise.
  **/
  int Connect (const char *What, int Seconds, std::string *Error);

  /**
    @return The errno of the last failed request: ENOTCONN when the
            connection is lost (the server ended), rather than libnbd's
            EINVAL for its state.
  **/
  int Failure (VOID) const;

  /**
    Starts qemu-storage-daemon on a qcow2 image into mDaemon, and judges
    what QEMU reports of it (vars/media/Qcow2Refusal.h).

    @param[in]  Json     json-c's routines.
    @param[in]  Fd       The image, open, or with OverNbd a connection to an
                         NBD server that exports it.
    @param[in]  OverNbd  Whether Fd is such a connection.
    @param[out] Error    Receives a message on refusal.

    @retval 0  Served, and nothing refuses it.
    @return    A VARS_EXIT status otherwise.
  **/
  int ServeQcow2 (const JSON_LIBRARY *Json, int Fd, bool OverNbd, std::string *Error);

  /**
    Ends the connection and stops the daemon, which has flushed what it
    serves when this returns; nothing when done already.
  **/
  VOID Disconnect (VOID);

  const NBD_LIBRARY *mNbd      = NULL;
  bool               mWritable = false;
  UINT64             mSize     = 0;
  bool               mLate     = false; ///< The last Connect ran out of time.
  nbd_handle        *mHandle   = NULL;
  STORAGE_DAEMON     mDaemon   = { -1, -1, -1, "", "", false };

private:
  int InChunks (bool Write, UINT64 Offset, UINT8 *Data, UINTN Size);
};

#endif
