/** @file
  Loading an optional library: its routines found, or the package named.
**/

#include "vars/dl/OptionalLibrary.h"

#include <gtest/gtest.h>

TEST (OptionalLibraryTest, FindsRoutinesOrNamesThePackage)
{
  void                 *Strlen   = NULL;
  const OPTIONAL_SYMBOL Found[]  = { { "strlen", &Strlen } };
  const OPTIONAL_SYMBOL Absent[] = { { "strlen", &Strlen }, { "no_such_routine", &Strlen } };
  struct {
    OPTIONAL_LIBRARY Library;
    const char      *Error;
  } const Cases[] = {
    { { "libc.so.6", "libc6", Found, 1 }, "" },
    { { "libabsent.so.0", "libabsent0", Found, 1 },
      "libabsent.so.0 is missing: install the Debian package libabsent0" },
    // The loader's own reason, for a file that is there and no library (or needs one that is not).
    { { "/dev/null", "libnull0", Found, 1 },
      "/dev/null cannot be loaded (/dev/null: file too short): install the Debian package libnull0 "
      "with its dependencies" },
    { { "libc.so.6", "libc6", Absent, 2 },
      "libc.so.6 has no no_such_routine: install a newer libc6" },
  };

  for (const auto &Case : Cases) {
    std::string Error;

    EXPECT_EQ (LoadOptionalLibrary (&Case.Library, &Error), Case.Error[0] == 0);
    EXPECT_EQ (Error, Case.Error);
  }

  ASSERT_NE (Strlen, nullptr);
  EXPECT_EQ (reinterpret_cast<size_t (*) (const char *)> (Strlen) ("nvram"), 5u);
}
