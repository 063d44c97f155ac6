/** @file
  The host platform's own answers where the logic relies on firmware
  behaviour that the other tests do not show on their own.
**/

#include "HostTest.h"

using namespace HostPlatform;

class HostPlatformTest : public HostTest {};

TEST_F (HostPlatformTest, PrintTranslatesLineEndsLikeBasePrintLib)
{
  const struct {
    const UCS2_CHAR *Format;
    std::u16string   Shown;
  } Cases[] = {
    { u"a\nb", u"a\r\nb" }, { u"a\r\nb", u"a\r\nb" }, { u"a\n\rb", u"a\r\nb" },
    { u"a\rb", u"a\rb" },   { u"\n\n", u"\r\n\r\n" }, { u"100%%", u"100%" },
  };

  for (const auto &Case : Cases) {
    Reset ();
    Platform::Print (Case.Format);
    EXPECT_EQ (ConsoleText (), Case.Shown);
  }

  Reset ();
  Platform::Print (u"[%s]\n", u"x");
  EXPECT_EQ (ConsoleText (), u"[x]\r\n");
}

TEST_F (HostPlatformTest, GetVariableReportsTheSizeItNeeds)
{
  UINT8    Data[4]    = {};
  UINT32   Attributes = 0;
  UINTN    DataSize   = 1;
  EFI_GUID Guid       = ShellVendorGuid ();

  SeedVariable (u"Brisvane", ShellVendorGuid (), 0x3, { 1, 2, 3 });
  EXPECT_EQ (
      Platform::GetVariable (u"Brisvane", &Guid, &Attributes, &DataSize, Data),
      EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ (DataSize, 3u);
  EXPECT_EQ (Attributes, 0x3u);
  DataSize = sizeof (Data);
  EXPECT_EQ (Platform::GetVariable (u"Brisvane", &Guid, NULL, &DataSize, Data), EFI_SUCCESS);
  EXPECT_EQ (DataSize, 3u);
  EXPECT_EQ (Data[2], 3);
}
