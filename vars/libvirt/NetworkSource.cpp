/** @file
  A domain's network NVRAM (<nvram type='network'>, a disk's <source> in
  libvirt's terms) turned into QEMU's name for it, which the network medium
  opens: nbd://HOST:PORT/EXPORT or nbd+unix:///EXPORT?socket=PATH,
  iscsi://HOST:PORT/TARGET/LUN, rbd:POOL/IMAGE with its monitors.
**/

#include "vars/base/ExitStatus.h"
#include "vars/libvirt/DomainXml.h"

#define NETWORK_HOSTS 3 // The monitors of an RBD image that are passed on; QEMU needs one.

///
/// What a source gives of its protocol, its name and its hosts.
///
typedef struct {
  std::string Protocol, Name, Tls, Auth, Config;
  std::string Host[NETWORK_HOSTS], Port[NETWORK_HOSTS], Transport, Socket;
} NETWORK_SOURCE;

// A value in an rbd: name, whose options QEMU splits at ':' and unescapes with '\'.
static std::string
RbdValue (const std::string &Value)
{
  std::string Escaped;

  for (char Character : Value) {
    Escaped += ((Character == ':') || (Character == '\\') || (Character == ';')) ? "\\" : "";
    Escaped += Character;
  }

  return Escaped;
}

static std::string
WithPort (const std::string &Host, const std::string &Port, const char *Default)
{
  const std::string Bracketed = (Host.find (':') != std::string::npos) ? "[" + Host + "]" : Host;

  return Bracketed + ":" + (Port.empty () ? Default : Port);
}

// QEMU's name for the source, "" when this tool cannot give one.
static std::string
QemuName (const NETWORK_SOURCE *Source)
{
  std::string Name;

  if (Source->Protocol == "nbd") {
    return (Source->Transport == "unix")
               ? "nbd+unix:///" + Source->Name + "?socket=" + Source->Socket
               : "nbd://" + WithPort (Source->Host[0], Source->Port[0], "10809") + "/" +
                     Source->Name;
  }

  if (Source->Protocol == "iscsi") {
    return "iscsi://" + WithPort (Source->Host[0], Source->Port[0], "3260") + "/" + Source->Name;
  }

  if (Source->Protocol != "rbd") {
    return "";
  }

  Name = "rbd:" + Source->Name;
  for (int Index = 0; (Index < NETWORK_HOSTS) && !Source->Host[Index].empty (); Index++) {
    Name += ((Index == 0) ? ":mon_host=" : "\\;") +
            RbdValue (WithPort (Source->Host[Index], Source->Port[Index], "6789"));
  }

  return Name + (Source->Config.empty () ? "" : ":conf=" + RbdValue (Source->Config));
}

int
ReadNetworkNvram (const char *Xml, std::string *Name, std::string *Error)
{
  NETWORK_SOURCE  S;
  const XML_QUERY Queries[] = {
    { "string(/domain/os/nvram/source/@protocol)", &S.Protocol },
    { "string(/domain/os/nvram/source/@name)", &S.Name },
    { "string(/domain/os/nvram/source/@tls)", &S.Tls },
    { "string(count(/domain/os/nvram/source/auth))", &S.Auth },
    { "string(/domain/os/nvram/source/config/@file)", &S.Config },
    { "string(/domain/os/nvram/source/host[1]/@transport)", &S.Transport },
    { "string(/domain/os/nvram/source/host[1]/@socket)", &S.Socket },
    { "string(/domain/os/nvram/source/host[1]/@name)", &S.Host[0] },
    { "string(/domain/os/nvram/source/host[1]/@port)", &S.Port[0] },
    { "string(/domain/os/nvram/source/host[2]/@name)", &S.Host[1] },
    { "string(/domain/os/nvram/source/host[2]/@port)", &S.Port[1] },
    { "string(/domain/os/nvram/source/host[3]/@name)", &S.Host[2] },
    { "string(/domain/os/nvram/source/host[3]/@port)", &S.Port[2] },
  };
  int Code = QueryXml (Xml, Queries, sizeof (Queries) / sizeof (Queries[0]), Error);

  if (Code != 0) {
    return Code;
  }

  // Credentials and TLS would have to reach QEMU outside its name, which this tool does not do.
  *Name = ((S.Auth == "0") && (S.Tls != "yes")) ? QemuName (&S) : "";
  if (Name->empty ()) {
    return VarsRefusal (
        Error, VarsExitNetworkNvram,
        "its NVRAM is on the network (" + S.Protocol +
            ((S.Auth != "0")    ? ", with credentials"
             : (S.Tls == "yes") ? ", over TLS"
                                : "") +
            "), which brisvane-vars reaches only over nbd, iscsi and rbd, without credentials "
            "or TLS");
  }

  return 0;
}
