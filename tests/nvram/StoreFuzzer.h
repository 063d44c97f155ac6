/** @file
  The input of the store fuzzer, which its seed writer shares: a script of
  STORE_FUZZ_STEPS steps, then an NVRAM file of any bytes.

  Each step is four bytes:

    byte 0     bits 6-7: the action (STORE_FUZZ_ACTION); bits 0-5: the
               variable, a live one of the store by its place in the order
               of their GUIDs and names, or past those, one of a few names
               of the fuzzer's own.
    byte 1     bits 0-3: the attributes, an index into the fuzzer's table,
               whose end stands for the stored variable's own; bits 4-7: the
               first byte of the value, whose bytes count up from it.
    bytes 2-3  the size of the value, little-endian, taken modulo
               STORE_FUZZ_SIZE_RANGE so that it reaches past the largest a
               variable may be and little further.
**/

#ifndef STORE_FUZZER_H_
#define STORE_FUZZER_H_

#define STORE_FUZZ_STEPS       4
#define STORE_FUZZ_STEP_SIZE   4
#define STORE_FUZZ_SCRIPT_SIZE (STORE_FUZZ_STEPS * STORE_FUZZ_STEP_SIZE)
#define STORE_FUZZ_SIZE_RANGE  0x2100

typedef enum {
  StoreFuzzWrite,              ///< A new value.
  StoreFuzzRewrite,            ///< The stored value again.
  StoreFuzzDelete,             ///< A DataSize of 0.
  StoreFuzzDeleteByAttributes, ///< Attributes of 0, with the new value.
} STORE_FUZZ_ACTION;

#endif
