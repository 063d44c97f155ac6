/** @file
  What each command may cost in firmware calls, run from the image's entry:
  at most one write, and none for a query or a rejected set; no read on a
  set or a clear, and at most one on a query; each word lowered no more than
  once, however many options there are. Bounds rather than counts, so that
  a change that keeps them passes.
**/

#include "HostTest.h"

#include <iostream>

using namespace HostPlatform;

struct BUDGET {
  const char                 *Name;
  std::vector<std::u16string> Words;
  bool                        Present;
  UINTN                       MaxWrites;
  UINTN                       MaxReads;
};

class CallBudgetTest : public HostTest {};

TEST_F (CallBudgetTest, EachCommandStaysWithinItsBudget)
{
  std::vector<std::u16string> Long = { u"brisvane", u"-s" };

  for (int Index = 0; Index < 150; Index++) {
    Long.insert (Long.end (), { u"-NoMap", u"-delay", u"12" });
  }

  //  Name  Words  Present  MaxWrites  MaxReads
  const BUDGET Budgets[] = {
    { "set", { u"brisvane", u"-s", u"-NoMap", u"-delay", u"3" }, false, 1, 0 },
    { "set of 450 words", Long, true, 1, 0 },
    { "rejected set", { u"brisvane", u"-s", u"-nomap", u"-bogus" }, true, 0, 0 },
    { "query (present)", { u"brisvane", u"-g" }, true, 0, 1 },
    { "query (absent)", { u"brisvane", u"-g" }, false, 0, 1 },
    { "clear", { u"brisvane", u"-c" }, true, 1, 0 },
  };

  for (const BUDGET &Budget : Budgets) {
    SCOPED_TRACE (Budget.Name);
    EXPECT_EQ (
        RunCommandLine (Budget.Words, { NewShell, Budget.Present, Operation::Count, 0, 0 }), "");
    EXPECT_LE (CallCount (Operation::SetVariable), Budget.MaxWrites);
    EXPECT_LE (CallCount (Operation::GetVariable), Budget.MaxReads);
    // The words after the mode; the fixture checks that every buffer is freed.
    EXPECT_LE (CallCount (Operation::StrLwr), Budget.Words.size () - 2);
    std::cout << "call budget: " << Budget.Name << ":";
    for (Operation Op : { Operation::SetVariable, Operation::GetVariable, Operation::StrLwr,
                          Operation::AllocateZeroPool }) {
      std::cout << " " << OperationName (Op) << " " << CallCount (Op);
    }

    std::cout << std::endl;
  }
}
