/** @file
  Scratch folders, files and front-end runs for the brisvane-vars tests.
**/

#include "TestSupport.h"

#include "vars/cli/VarsCommand.h"

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

SCRATCH_FOLDER::SCRATCH_FOLDER ()
{
  char Template[] = "/tmp/brisvane-vars-test.XXXXXX";

  Path = mkdtemp (Template);
}

// Removes one entry, after what it holds; a file made read-only is made writable first.
static int
RemoveEntry (const char *Name, const struct stat *Status, int Type, struct FTW *Walk)
{
  (void)Status;
  (void)Walk;
  if (Type == FTW_DP) {
    return rmdir (Name);
  }

  chmod (Name, 0600);
  return unlink (Name);
}

SCRATCH_FOLDER::~SCRATCH_FOLDER ()
{
  nftw (Path.c_str (), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string>
SCRATCH_FOLDER::Names (VOID) const
{
  std::vector<std::string> Names;
  DIR                     *Folder = opendir (Path.c_str ());

  for (struct dirent *Entry; (Folder != NULL) && ((Entry = readdir (Folder)) != NULL);) {
    if ((strcmp (Entry->d_name, ".") != 0) && (strcmp (Entry->d_name, "..") != 0)) {
      Names.push_back (Entry->d_name);
    }
  }

  if (Folder != NULL) {
    closedir (Folder);
  }

  return Names;
}

static std::string
TakeText (FILE *Stream, char *&Text, size_t &Size)
{
  fclose (Stream);
  std::string Result (Text, Size);
  free (Text);
  return Result;
}

VARS_RUN
RunVars (const std::string &File, const std::vector<std::string> &Words)
{
  std::vector<std::string> Line = { File };

  Line.insert (Line.end (), Words.begin (), Words.end ());
  return RunVarsLine (Line);
}

VARS_RUN
RunVarsLine (const std::vector<std::string> &Arguments)
{
  std::vector<std::string> Line = { "brisvane-vars" };
  std::vector<char *>      Argv;
  char                    *OutText = NULL;
  char                    *ErrText = NULL;
  size_t                   OutSize = 0;
  size_t                   ErrSize = 0;
  FILE                    *Out     = open_memstream (&OutText, &OutSize);
  FILE                    *Err     = open_memstream (&ErrText, &ErrSize);
  VARS_RUN                 Run;

  Line.insert (Line.end (), Arguments.begin (), Arguments.end ());
  for (std::string &Word : Line) {
    Argv.push_back (&Word[0]);
  }

  Argv.push_back (NULL);
  Run.Code = RunBrisvaneVars ((int)Line.size (), Argv.data (), Out, Err);
  Run.Out  = TakeText (Out, OutText, OutSize);
  Run.Err  = TakeText (Err, ErrText, ErrSize);
  return Run;
}
