/** @file
  What every host test shares: a fixture that gives each test a fresh
  machine and checks that it leaves no buffer behind, writable argument
  vectors, and the identity of the start-up option variable.
**/

#ifndef HOST_TEST_H_
#define HOST_TEST_H_

#include "HostPlatform.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>

///
/// A shell's argument vector: Argc pointers to writable strings, each in a
/// heap block of its own exact size, so that AddressSanitizer sees a read
/// past a word's NUL or past the last pointer.
///
class ArgumentVector {
public:
  ArgumentVector (std::initializer_list<std::u16string> Words)
      : ArgumentVector (std::vector<std::u16string> (Words))
  {
  }

  explicit ArgumentVector (const std::vector<std::u16string> &Words)
      : Pointers (new UCS2_CHAR *[Words.size ()]), Count (Words.size ())
  {
    for (UINTN Index = 0; Index < Count; Index++) {
      Storage.emplace_back (new UCS2_CHAR[Words[Index].size () + 1]);
      std::copy (
          Words[Index].c_str (), Words[Index].c_str () + Words[Index].size () + 1,
          Storage.back ().get ());
      Pointers[Index] = Storage.back ().get ();
    }
  }

  ArgumentVector (const ArgumentVector &)            = delete;
  ArgumentVector &operator= (const ArgumentVector &) = delete;

  UINTN
  Argc (VOID) const
  {
    return Count;
  }

  UCS2_CHAR **
  Argv (VOID)
  {
    return Pointers.get ();
  }

  std::u16string
  operator[] (UINTN Index) const
  {
    return Storage[Index].get ();
  }

private:
  std::vector<std::unique_ptr<UCS2_CHAR[]>> Storage;
  std::unique_ptr<UCS2_CHAR *[]>            Pointers;
  UINTN                                     Count;
};

inline const HostPlatform::VARIABLE *
StartupVariable (VOID)
{
  return HostPlatform::FindVariable (u"Brisvane", ShellGuid ());
}

class HostTest : public ::testing::Test {
protected:
  void
  SetUp (VOID) override
  {
    HostPlatform::Reset ();
    HostPlatform::SetMisuseHandler ([] (const char *Message) { ADD_FAILURE () << Message; });
  }

  void
  TearDown (VOID) override
  {
    EXPECT_EQ (HostPlatform::LiveBuffers (), 0u) << "pool buffers left behind";
    EXPECT_EQ (HostPlatform::OpenProtocolEntries (), 0u) << "protocols left open";
    HostPlatform::Reset ();
  }
};

#endif
