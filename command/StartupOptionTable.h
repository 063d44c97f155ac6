/** @file
  The UEFI Shell start-up options that the set action accepts.
**/

#ifndef STARTUP_OPTION_TABLE_H_
#define STARTUP_OPTION_TABLE_H_

#include "platform/PlatformTypes.h"

///
/// One start-up option: its lower-case name. A row with a NULL Name ends
/// the table.
///
typedef struct {
  const UCS2_CHAR *Name;
} STARTUP_OPTION;

///
/// The ten options, in the order in which they are looked up.
///
extern const STARTUP_OPTION StartupOptionTable[];

///
/// The option that may be followed by a word of digits, its operand.
///
extern const UCS2_CHAR DelayOptionName[];

#endif
