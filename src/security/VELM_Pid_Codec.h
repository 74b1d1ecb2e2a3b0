#pragma once
// Hand-written protobuf encoder for the demographic part of the UIDAI Pid schema: the Demo
// message and its nested Pi, Pa, Pfa and Dob messages (proto2 wire rules: varints and
// length-delimited fields). Only encoding is needed; the service never decodes these.
//
// Every writer takes the buffer, its capacity and the offset to write at, and returns the
// offset after the last byte written, or kPbNoRoom when the buffer is too small. Nothing is
// ever written at or past the capacity; after kPbNoRoom the buffer content is unspecified.
#include <cstddef>
#include <cstdint>
#include <string>

namespace velm::pid {

constexpr long kPbNoRoom = -1;

// Wire types used by this schema.
constexpr uint32_t kWireVarint = 0;
constexpr uint32_t kWireLengthDelimited = 2;

// Text fields are fixed 60-byte slots.
constexpr size_t kPbTextCapacity = 60;
struct PbText {
    uint8_t bytes[kPbTextCapacity];
    uint32_t len;
};
// Copies text into the slot; false (slot left empty) when the text is longer than 60 bytes.
bool PbText_set(PbText& slot, const std::string& text);

// Enumerations (numeric values on the wire).
enum Ms : int32_t { Ms_NONE = 0, Ms_E = 1, Ms_P = 2 };
enum Gender : int32_t { Gender_NONE = 0, Gender_F = 1, Gender_M = 2, Gender_T = 3 };
enum Dobt : int32_t { Dobt_NONE = 0, Dobt_V = 1, Dobt_D = 2, Dobt_A = 3 };
// LangCode is the numeric UIDAI language code itself.

// The three numbers of a date text, in their order.
struct Dob {
    int32_t first;   // 1
    int32_t second;  // 2
    int32_t third;   // 3
};

struct Pi {
    int32_t ms;      // 1 Ms
    PbText name;     // 2
    int32_t mv;      // 3
    PbText lname;    // 4
    int32_t lmv;     // 5
    int32_t gender;  // 6 Gender
    Dob dob;         // 7
    int32_t dobt;    // 8 Dobt
    int32_t age;     // 9
    PbText email;    // 10
    PbText phone;    // 11
};

struct Pa {
    int32_t ms;      // 1 Ms
    PbText co;       // 2
    PbText house;    // 3
    PbText street;   // 4
    PbText lm;       // 5
    PbText loc;      // 6
    PbText vtc;      // 7
    PbText subdist;  // 8
    PbText dist;     // 9
    PbText state;    // 10
    PbText pc;       // 11
    PbText po;       // 12
    PbText country;  // 13
};

struct Pfa {
    int32_t ms;   // 1 Ms
    PbText av;    // 2
    int32_t mv;   // 3
    PbText lav;   // 4
    int32_t lmv;  // 5
};

struct Demo {
    int32_t lang;  // 1 LangCode
    Pi pi;         // 2
    Pa pa;         // 3
    Pfa pfa;       // 4
};

// Raw writers.
long write_raw_byte(uint8_t* buf, size_t capacity, long offset, uint8_t value);
long write_raw_bytes(uint8_t* buf, size_t capacity, long offset, const uint8_t* bytes, size_t count);
long write_raw_varint32(uint8_t* buf, size_t capacity, long offset, uint32_t value);
long write_raw_varint64(uint8_t* buf, size_t capacity, long offset, uint64_t value);
// Bytes a varint of this value takes (negative int32 values are sign-extended: ten bytes).
size_t varint_packed_size(int64_t value);
// Tag, then the value as an int32 varint.
long write_int32_with_tag(uint8_t* buf, size_t capacity, long offset, uint32_t field, int32_t value);
// Tag, varint length, bytes.
long write_text_with_tag(uint8_t* buf, size_t capacity, long offset, uint32_t field, const PbText& text);

// Enumerations: tag, varint value.
long Ms_write_with_tag(int32_t value, uint8_t* buf, size_t capacity, long offset, uint32_t field);
long Gender_write_with_tag(int32_t value, uint8_t* buf, size_t capacity, long offset, uint32_t field);
long Dobt_write_with_tag(int32_t value, uint8_t* buf, size_t capacity, long offset, uint32_t field);
long LangCode_write_with_tag(int32_t value, uint8_t* buf, size_t capacity, long offset, uint32_t field);

// Per message: clear (all zero), default test, bare writer, delimited writer (length prefix
// then message) and tagged writer (tag, length prefix, message).
#define VELM_PID_MESSAGE_WRITERS(M)                                                                  \
    void M##_clear(M& m);                                                                            \
    bool M##_is_default_message(const M& m);                                                         \
    long M##_write(const M& m, uint8_t* buf, size_t capacity, long offset);                          \
    long M##_write_delimited_to(const M& m, uint8_t* buf, size_t capacity, long offset);             \
    long M##_write_with_tag(const M& m, uint8_t* buf, size_t capacity, long offset, uint32_t field);

VELM_PID_MESSAGE_WRITERS(Dob)
VELM_PID_MESSAGE_WRITERS(Pi)
VELM_PID_MESSAGE_WRITERS(Pa)
VELM_PID_MESSAGE_WRITERS(Pfa)
VELM_PID_MESSAGE_WRITERS(Demo)
#undef VELM_PID_MESSAGE_WRITERS

}  // namespace velm::pid
