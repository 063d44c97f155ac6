/** @file
  The Linux platform operations that answer for the firmware: English
  collation, Print with plain line ends, and the UTF-8 conversions.
**/

#include "vars/cli/NvramPlatform.h"
#include "platform/Platform.h"
#include "vars/cli/Utf8.h"

#include <gtest/gtest.h>

#include <stdlib.h>

// What OVMF's StrLwr gave for each word, read back from the firmware's own console output.
TEST (NvramPlatformTest, StrLwrLowersAsOvmfDoes)
{
  struct {
    std::u16string Word;
    std::u16string Lowered;
  } Cases[] = {
    { u"-NoMap", u"-nomap" },
    { u"-DELAY 3", u"-delay 3" },
    { u"@[`{", u"@[`{" },
    { u"\u00C0\u00E9Z\u0100", u"\uFFE0\uFFE9z\u0100" },
    { u"\u00D7\u00DE\u00DF\u0080\u00FF", u"\uFFD7\uFFFE\uFFDF\uFF80\uFFFF" },
    { u"\u0130\u0391\uFF21", u"\u0130\u0391\uFF21" },
  };
  VOID *Collation = NULL;

  ASSERT_EQ (
      Platform::LocateProtocol (&gEfiUnicodeCollation2ProtocolGuid, NULL, &Collation), EFI_SUCCESS);
  for (auto &Case : Cases) {
    std::u16string Word = Case.Word;

    Platform::StrLwr (Collation, &Word[0]);
    EXPECT_EQ (Word, Case.Lowered);
  }

  EXPECT_EQ (
      Platform::LocateProtocol (&gEfiShellParametersProtocolGuid, NULL, &Collation), EFI_NOT_FOUND);
}

// What Print writes, on the console, or on the error stream for the shell's error lines; the other
// stream must stay empty.
static std::string
Printed (const char16_t *Format, const char16_t *String, bool Error = false)
{
  char  *Text[2] = {};
  size_t Size[2] = {};
  FILE  *Console = open_memstream (&Text[0], &Size[0]);
  FILE  *Errors  = open_memstream (&Text[1], &Size[1]);

  NvramPlatformAttach (NULL, NULL, Console, Errors);
  if (String == NULL) {
    Platform::Print (Format);
  } else {
    Platform::Print (Format, String);
  }

  NvramPlatformAttach (NULL, NULL, NULL, NULL);
  fclose (Console);
  fclose (Errors);
  std::string Result (Text[Error], Size[Error]);
  EXPECT_EQ (Size[!Error], 0u);
  free (Text[0]);
  free (Text[1]);
  return Result;
}

// The formatting of firmware's Print, its CR LF included, is HostPlatformTest's; this owns what the
// terminal gets of it: plain line ends, UTF-8, the cut in UCS-2 characters, and the error lines on
// their own stream, told by the format alone.
TEST (NvramPlatformTest, PrintWritesPlainLinesCutAsTheFirmwareCutsThem)
{
  const char16_t *Format = u"ERROR: Invalid shell startup option: %s\n";
  std::u16string  Long (400, u'x');
  std::u16string  Fits (320 - 37 - 1, u'\u00E9');

  EXPECT_EQ (Printed (u"100%% %s\n", u"-\u00E9"), "100% -\xC3\xA9\n");
  EXPECT_EQ (Printed (u"%s\n", u"ERROR: -x"), "ERROR: -x\n");
  EXPECT_EQ (
      Printed (Format, Long.c_str (), true),
      "ERROR: Invalid shell startup option: " + std::string (320 - 37, 'x'));
  // The cut leaves the CR of the line end alone, and the terminal still gets its LF.
  EXPECT_EQ (
      Printed (Format, Fits.c_str (), true),
      "ERROR: Invalid shell startup option: " + Ucs2ToUtf8 (Fits) + "\n");
}

TEST (NvramPlatformTest, Utf8ConvertsOnlyWhatUcs2Holds)
{
  struct {
    const char     *Text;
    UTF8_CONVERSION Conversion;
    std::u16string  Ucs2;
  } Cases[] = {
    { "-nomap", Utf8Converted, u"-nomap" },
    { "\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF", Utf8Converted, u"\u00E9\u20AC\uFFFF" },
    { "\x80", Utf8Invalid, u"" },
    { "\xC0\xAF", Utf8Invalid, u"" },
    { "\xE0\x80\xAF", Utf8Invalid, u"" },
    { "\xED\xA0\x80", Utf8Invalid, u"" },
    { "\xE2\x82", Utf8Invalid, u"" },
    { "\xF4\x90\x80\x80", Utf8Invalid, u"" },
    { "\xFF", Utf8Invalid, u"" },
    { "-\xF0\x9F\x98\x80", Utf8BeyondUcs2, u"" },
  };

  for (auto &Case : Cases) {
    std::u16string Ucs2;

    SCOPED_TRACE (Case.Text);
    EXPECT_EQ (Utf8ToUcs2 (Case.Text, &Ucs2), Case.Conversion);
    if (Case.Conversion == Utf8Converted) {
      EXPECT_EQ (Ucs2, Case.Ucs2);
      EXPECT_EQ (Ucs2ToUtf8 (Ucs2), Case.Text);
    }
  }

  EXPECT_EQ (Ucs2ToUtf8 (u"\xD800-"), "\xEF\xBF\xBD-");
}
