/** @file
  The messages of the writes that the variable store refuses.
**/

#include "vars/cli/SetRefusal.h"

#include "store/StartupOptionStore.h"
#include "vars/base/ExitStatus.h"

#include <stdio.h>

const char *
AttributeName (UINTN Bit)
{
  static const char *const Names[] = { "NV", "BS", "RT", "HR", "AW", "AT", "AP" };

  return (Bit < sizeof (Names) / sizeof (Names[0])) ? Names[Bit] : NULL;
}

std::string
JoinAttributeNames (UINT32 Attributes, const char *Quote, const char *Separator)
{
  std::string Joined;

  for (UINTN Bit = 0; AttributeName (Bit) != NULL; Bit++) {
    if ((Attributes & (1u << Bit)) != 0) {
      Joined +=
          (Joined.empty () ? "" : Separator) + std::string (Quote) + AttributeName (Bit) + Quote;
    }
  }

  return Joined;
}

// The attributes as UEFI abbreviates them, lowest bit first.
static std::string
AttributeNames (UINT32 Attributes)
{
  char        Text[16];
  std::string Joined = JoinAttributeNames (Attributes, "", "+");

  snprintf (Text, sizeof (Text), "0x%X", Attributes);
  return std::string (Text) + " (" + (Joined.empty () ? "none" : Joined) + ")";
}

int
DescribeSetRefusal (const NVRAM_STORE *Store, const NVRAM_REFUSAL *Refusal, std::string *Message)
{
  char Text[320];

  switch (Refusal->Reason) {
  case NvramRefusedAttributes:
    *Message = "refused: Brisvane is stored with attributes " +
               AttributeNames (Refusal->StoredAttributes) + ", not " +
               AttributeNames (STARTUP_OPTION_ATTRIBUTES) +
               " as brisvane writes it, and the firmware would refuse this write as well";
    return VarsExitAttributesDiffer;
  case NvramRefusedTooLarge:
    snprintf (
        Text, sizeof (Text),
        "refused: the value is too large for this store: Brisvane would take %llu bytes with its "
        "record header and name, over the %llu (0x%llX) that %s takes%s",
        (unsigned long long)Refusal->Needed, (unsigned long long)Refusal->Available,
        (unsigned long long)Refusal->Available,
        (Store->Layout != NULL) ? Store->Layout : "OVMF's 2 MB build",
        (Store->Layout != NULL) ? ""
                                : ", the limit for a store of a layout this tool does not know");
    *Message = Text;
    return VarsExitTooLarge;
  case NvramRefusedStoreFull:
    snprintf (
        Text, sizeof (Text),
        "refused: the variable store is full even after compaction: %llu bytes free, %llu needed",
        (unsigned long long)Refusal->Available, (unsigned long long)Refusal->Needed);
    *Message = Text;
    return VarsExitStoreFull;
  case NvramRefusedNoSpare:
    *Message = "refused: the variable store needs compacting, and the file has no spare area "
               "after its working block, where OVMF's layout has one, to compact it through";
    return VarsExitNotAStore;
  case NvramNotRefused:
    break;
  }

  return 0;
}
