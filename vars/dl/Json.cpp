/** @file
  json-c loaded at run time, and nested keys looked up.
**/

#include "vars/dl/Json.h"

#include "vars/dl/OptionalLibrary.h"

#include <string.h>

// Filled in by the first load; plain pointers, so no constructor runs.
static JSON_LIBRARY mJson;

const JSON_LIBRARY *
LoadJsonLibrary (std::string *Error)
{
  static const OPTIONAL_SYMBOL Symbols[] = {
    { "json_tokener_parse", reinterpret_cast<void **> (&mJson.Parse) },
    { "json_object_put", reinterpret_cast<void **> (&mJson.Put) },
    { "json_object_object_get_ex", reinterpret_cast<void **> (&mJson.Get) },
    { "json_object_get_boolean", reinterpret_cast<void **> (&mJson.Boolean) },
    { "json_object_get_string", reinterpret_cast<void **> (&mJson.String) },
    { "json_object_array_length", reinterpret_cast<void **> (&mJson.Length) },
    { "json_object_array_get_idx", reinterpret_cast<void **> (&mJson.At) },
  };
  static const OPTIONAL_LIBRARY Library = { "libjson-c.so.5", "libjson-c5", Symbols,
                                            sizeof (Symbols) / sizeof (Symbols[0]) };

  return LoadOptionalLibrary (&Library, Error) ? &mJson : NULL;
}

json_object *
JsonAt (const JSON_LIBRARY *Json, json_object *Object, const char *Path)
{
  std::string Key;

  for (const char *Start = Path; (Object != NULL) && (*Start != 0);) {
    const char *End = strchr (Start, '/');

    Key.assign (Start, (End != NULL) ? End - Start : strlen (Start));
    if (!Json->Get (Object, Key.c_str (), &Object)) {
      Object = NULL;
    }

    Start = (End != NULL) ? End + 1 : Start + Key.size ();
  }

  return Object;
}
