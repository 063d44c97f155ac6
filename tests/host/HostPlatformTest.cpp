/** @file
  The host platform's own answers where the logic relies on firmware
  behaviour that the other tests do not show on their own. (Its variables
  are the store library's, tested with it.)
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
