/** @file
  Files the store refuses, through brisvane-vars: one line naming the
  reason, for every action, and the file byte for byte as it was.
**/

#include "../nvram/DamagedStores.h"
#include "TestSupport.h"
#include "vars/StoreCheckText.h"

class VarsRefusalTest : public ::testing::TestWithParam<REFUSAL> {};

INSTANTIATE_TEST_SUITE_P (Damaged, VarsRefusalTest, ::testing::ValuesIn (Refusals), RefusalName);

TEST_P (VarsRefusalTest, FileIsRefusedForItsReasonAndLeftAlone)
{
  BYTES          Image = DamagedImage (GetParam ());
  NVRAM_STORE    Opened;
  SCRATCH_FOLDER Folder;
  std::string    File = Folder.Path + "/vm_VARS.fd";
  char           Reason[256];

  ASSERT_EQ (OpenNvramStore (Image.data (), Image.size (), &Opened), GetParam ().Check);
  DescribeNvramStoreCheck (GetParam ().Check, Opened.CheckOffset, Reason, sizeof (Reason));
  // A format the offset did not fill would show its % in the message.
  EXPECT_EQ (strchr (Reason, '%'), nullptr) << Reason;
  WriteFile (File, Image);
  for (std::vector<std::string> Words :
       { std::vector<std::string> { "-s", "-exit" }, { "-c" }, { "-g" } }) {
    VARS_RUN Run = RunVars (File, Words);

    EXPECT_EQ (Run.Code, 65);
    EXPECT_EQ (Run.Out, "");
    EXPECT_EQ (Run.Err, "brisvane-vars: " + File + ": refused: " + Reason + "\n");
    EXPECT_TRUE (ReadFile (File) == Image);
  }
}
