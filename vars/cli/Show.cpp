/** @file
  brisvane-vars --show, as text or JSON.
**/

#include "vars/cli/Show.h"

#include "platform/Platform.h"
#include "store/StartupOptionStore.h"
#include "vars/cli/SetRefusal.h"
#include "vars/cli/Utf8.h"

#include <string.h>

#include <string>

/**
  The value as the set action stores it, UCS-2 ended by its only NUL, in
  UTF-8; false when it is anything else.
**/
static bool
ValueAsText (const UINT8 *Data, UINTN DataSize, std::string *Text)
{
  std::u16string Units (DataSize / sizeof (char16_t), u'\0');

  memcpy (&Units[0], Data, Units.size () * sizeof (char16_t));
  if ((DataSize % sizeof (char16_t) != 0) || Units.empty () ||
      (Units.find (u'\0') != Units.size () - 1)) {
    return false;
  }

  Units.pop_back ();
  *Text = Ucs2ToUtf8 (Units);
  return true;
}

// A JSON string: quotes, backslashes and control characters escaped.
static VOID
PutJsonString (FILE *Out, const std::string &Text)
{
  fputc ('"', Out);
  for (unsigned char Byte : Text) {
    if ((Byte == '"') || (Byte == '\\')) {
      fprintf (Out, "\\%c", Byte);
    } else if (Byte < 0x20) {
      fprintf (Out, "\\u%04x", Byte);
    } else {
      fputc (Byte, Out);
    }
  }

  fputc ('"', Out);
}

static VOID
PutJson (FILE *Out, const UINT8 *Data, UINTN DataSize, UINT32 Attributes)
{
  std::string Text;

  if (Data == NULL) {
    fputs (
        "{\"present\": false, \"value\": null, \"attributes\": null, "
        "\"attribute_names\": null, \"size\": null}\n",
        Out);
    return;
  }

  fputs ("{\"present\": true, \"value\": ", Out);
  if (ValueAsText (Data, DataSize, &Text)) {
    PutJsonString (Out, Text);
  } else {
    fputs ("null", Out);
  }

  fprintf (
      Out, ", \"attributes\": %u, \"attribute_names\": [%s], \"size\": %llu}\n", Attributes,
      JoinAttributeNames (Attributes, "\"", ", ").c_str (), (unsigned long long)DataSize);
}

static VOID
PutText (FILE *Out, const UINT8 *Data, UINTN DataSize)
{
  std::string Text;

  if (Data == NULL) {
    fputs ("Brisvane is not set.\n", Out);
    return;
  }

  if (ValueAsText (Data, DataSize, &Text)) {
    fprintf (Out, "%s\n", Text.c_str ());
    return;
  }

  fprintf (Out, "Brisvane holds %llu bytes that are not UCS-2 text:", (unsigned long long)DataSize);
  for (UINTN Index = 0; Index < DataSize; Index++) {
    fprintf (Out, " %02X", Data[Index]);
  }

  fputs ("\n", Out);
}

EFI_STATUS
ShowStartupOptions (FILE *Out, bool Json, std::string *Error)
{
  EFI_STATUS Status;
  VOID      *Data;
  UINTN      DataSize;
  UINT32     Attributes = 0;
  char       Text[64];

  Status = ReadStartupOptions (&Data, &DataSize, &Attributes);
  if (EFI_ERROR (Status) && (Status != EFI_NOT_FOUND)) {
    snprintf (
        Text, sizeof (Text), "cannot read Brisvane (status 0x%llx)", (unsigned long long)Status);
    *Error = Text;
    return Status;
  }

  if (Json) {
    PutJson (Out, static_cast<const UINT8 *> (Data), DataSize, Attributes);
  } else {
    PutText (Out, static_cast<const UINT8 *> (Data), DataSize);
  }

  if (Data != NULL) {
    Platform::FreePool (Data);
  }

  return EFI_SUCCESS;
}
