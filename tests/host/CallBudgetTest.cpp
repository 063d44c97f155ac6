/** @file
  How many firmware calls each command makes, run from the image's entry:
  a set writes once, allocates once and lowers each word but a delay's
  operand once however many options it has, a rejected set never writes, a
  query reads once, a clear allocates nothing. No other test pins these.
**/

#include "HostTest.h"

#include <iostream>

using namespace HostPlatform;

static const Operation Budgeted[] = {
  Operation::SetVariable,      Operation::GetVariable, Operation::LocateProtocol,
  Operation::AllocateZeroPool, Operation::FreePool,    Operation::OpenProtocol,
  Operation::CloseProtocol,    Operation::StrLwr,
};

struct BUDGET {
  const char                 *Name;
  std::vector<std::u16string> Words;
  bool                        Present;
  UINTN                       Calls[sizeof (Budgeted) / sizeof (Budgeted[0])];
};

class CallBudgetTest : public HostTest {};

TEST_F (CallBudgetTest, EachCommandMakesItsCallsOnce)
{
  std::vector<std::u16string> Long = { u"brisvane", u"-s" };

  for (int Index = 0; Index < 150; Index++) {
    Long.insert (Long.end (), { u"-NoMap", u"-delay", u"12" });
  }

  //  Name                   Words                                              Present
  //  Set Get Locate Allocate Free Open Close StrLwr
  const BUDGET Budgets[] = {
    { "set",
      { u"brisvane", u"-s", u"-NoMap", u"-delay", u"3" },
      false,
      { 1, 0, 1, 1, 1, 1, 1, 2 } },
    { "set of 450 words", Long, true, { 1, 0, 1, 1, 1, 1, 1, 300 } },
    { "rejected set",
      { u"brisvane", u"-s", u"-nomap", u"-bogus" },
      true,
      { 0, 0, 1, 1, 1, 1, 1, 2 } },
    { "query (present)", { u"brisvane", u"-g" }, true, { 0, 1, 0, 1, 1, 1, 1, 0 } },
    { "query (absent)", { u"brisvane", u"-g" }, false, { 0, 1, 0, 1, 1, 1, 1, 0 } },
    { "clear", { u"brisvane", u"-c" }, true, { 1, 0, 0, 0, 0, 1, 1, 0 } },
  };

  for (const BUDGET &Budget : Budgets) {
    SCOPED_TRACE (Budget.Name);
    EXPECT_EQ (
        RunCommandLine (Budget.Words, { NewShell, Budget.Present, Operation::Count, 0, 0 }), "");
    std::cout << "call budget: " << Budget.Name << ":";
    for (UINTN Index = 0; Index < sizeof (Budgeted) / sizeof (Budgeted[0]); Index++) {
      EXPECT_EQ (CallCount (Budgeted[Index]), Budget.Calls[Index])
          << OperationName (Budgeted[Index]);
      std::cout << " " << OperationName (Budgeted[Index]) << " " << CallCount (Budgeted[Index]);
    }

    std::cout << std::endl;
  }
}
