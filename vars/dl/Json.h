/** @file
  The few routines of json-c (libjson-c.so.5) that reading QEMU's QMP
  replies needs, loaded at run time as the other optional libraries are, and
  a path of keys looked up through nested objects.
**/

#ifndef JSON_H_
#define JSON_H_

#include "platform/PlatformTypes.h"

#include <string>

struct json_object;

///
/// json-c's routines, as its stable interface declares them.
///
typedef struct {
  json_object *(*Parse) (const char *Text);
  int (*Put) (json_object *Object);
  int (*Get) (const json_object *Object, const char *Key, json_object **Value);
  int (*Boolean) (const json_object *Object);
  const char *(*String) (json_object *Object);
  size_t (*Length) (const json_object *Array);
  json_object *(*At) (const json_object *Array, size_t Index);
} JSON_LIBRARY;

/**
  Loads json-c once per run.

  @param[out] Error  Receives a message naming its Debian package on failure.

  @return Its routines, or NULL when it is missing.
**/
const JSON_LIBRARY *LoadJsonLibrary (std::string *Error);

/**
  Looks up a value through nested objects.

  @param[in] Json    The routines.
  @param[in] Object  Where to start.
  @param[in] Path    Keys separated by '/', as "image/format-specific/data".

  @return The value, owned by Object, or NULL when a key is absent.
**/
json_object *JsonAt (const JSON_LIBRARY *Json, json_object *Object, const char *Path);

#endif
