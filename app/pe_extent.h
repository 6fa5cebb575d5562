// How long a program's file must be, as its own PE headers say: a download that ends early (a
// chunked or close-delimited body cut short, a server that announces a shorter length than the
// file has) can end in a file that begins like a program and is not the whole of one. Pure
// arithmetic over the file's first bytes; every offset is checked against what was read, in 64
// bits, so that no header value can wrap a sum or lead a read astray.
#pragma once

#include <stdint.h>

// Enough of a file's start for the headers of any program a linker makes.
const uint32_t PE_HEAD_READ = 65536;

enum PeVerdict {
    PE_WHOLE,      // the file is at least as long as its headers say (longer: an overlay)
    PE_TRUNCATED,  // shorter than its headers say, or it ends inside its headers
    PE_NOT_PE,     // no DOS and PE headers of a PE32 or PE32+ image, or ones beyond the bytes read
};

// Judges a file of file_length bytes from its first head_length bytes (head; the whole file when
// it is no longer). needed: the length the headers ask for, the largest of SizeOfHeaders, each
// section's PointerToRawData + SizeOfRawData and the end of the certificate table (the security
// data directory, whose address is a file offset); 0 when they could not be read.
PeVerdict pe_verdict(const uint8_t* head, uint32_t head_length, uint64_t file_length, uint64_t* needed);
