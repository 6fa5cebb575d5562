// Resources embedded in the running program.
#pragma once

struct ByteSpan;

// 0 and the resource's bytes (read-only, valid for the life of the process) when RT_RCDATA id
// exists and is not empty; 1 otherwise (out untouched when missing, out->length 0 when empty).
int resource_load(int id, ByteSpan* out);
