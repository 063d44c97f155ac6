/** @file
  What the brisvane-vars tests share beyond NVRAM images: files, a scratch
  folder, and runs of the front end with its output captured.
**/

#ifndef TEST_SUPPORT_H_
#define TEST_SUPPORT_H_

#include "tests/support/NvramImage.h"

#include <string>
#include <vector>

///
/// A folder of its own for a test, removed with everything in it.
///
class SCRATCH_FOLDER {
public:
  SCRATCH_FOLDER ();
  ~SCRATCH_FOLDER ();
  SCRATCH_FOLDER (const SCRATCH_FOLDER &)            = delete;
  SCRATCH_FOLDER &operator= (const SCRATCH_FOLDER &) = delete;

  std::string Path;

  /**
    The names in the folder, to see that no temporary file was left.
  **/
  std::vector<std::string> Names (VOID) const;
};

///
/// The outcome of one run of brisvane-vars.
///
struct VARS_RUN {
  int         Code;
  std::string Out;
  std::string Err;
};

/**
  Runs "brisvane-vars File Words..." in this process.
**/
VARS_RUN
RunVars (const std::string &File, const std::vector<std::string> &Words);

/**
  Runs "brisvane-vars Arguments..." in this process.
**/
VARS_RUN
RunVarsLine (const std::vector<std::string> &Arguments);

#endif
