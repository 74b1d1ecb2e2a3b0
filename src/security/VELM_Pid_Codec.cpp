#include "security/VELM_Pid_Codec.h"

#include <cstring>

namespace velm::pid {

namespace {

uint32_t Tag(uint32_t field, uint32_t wireType) { return (field << 3) | wireType; }

bool IsEmpty(const PbText& t) { return t.len == 0; }

bool DobEmpty(const Dob& d) { return d.first == 0 && d.second == 0 && d.third == 0; }

// Writes the body of a nested message at offset, then moves it up to make room for its
// varint length prefix and writes the prefix in front.
template <typename M, typename BodyWriter>
long WriteDelimited(const M& m, uint8_t* buf, size_t capacity, long offset, BodyWriter body) {
    if (offset < 0) return kPbNoRoom;
    long end = body(m, buf, capacity, offset);
    if (end < 0) return kPbNoRoom;
    size_t length = static_cast<size_t>(end - offset);
    size_t prefix = varint_packed_size(static_cast<int64_t>(length));
    if (static_cast<size_t>(end) + prefix > capacity) return kPbNoRoom;
    std::memmove(buf + offset + prefix, buf + offset, length);
    long after = write_raw_varint32(buf, capacity, offset, static_cast<uint32_t>(length));
    if (after != offset + static_cast<long>(prefix)) return kPbNoRoom;
    return end + static_cast<long>(prefix);
}

}  // namespace

bool PbText_set(PbText& slot, const std::string& text) {
    if (text.size() > kPbTextCapacity) {
        slot.len = 0;
        return false;
    }
    std::memcpy(slot.bytes, text.data(), text.size());
    slot.len = static_cast<uint32_t>(text.size());
    return true;
}

long write_raw_byte(uint8_t* buf, size_t capacity, long offset, uint8_t value) {
    if (offset < 0 || static_cast<size_t>(offset) >= capacity) return kPbNoRoom;
    buf[offset] = value;
    return offset + 1;
}

long write_raw_bytes(uint8_t* buf, size_t capacity, long offset, const uint8_t* bytes, size_t count) {
    if (offset < 0 || static_cast<size_t>(offset) > capacity || count > capacity - static_cast<size_t>(offset))
        return kPbNoRoom;
    if (count > 0) std::memcpy(buf + offset, bytes, count);
    return offset + static_cast<long>(count);
}

long write_raw_varint64(uint8_t* buf, size_t capacity, long offset, uint64_t value) {
    while (value >= 0x80) {
        offset = write_raw_byte(buf, capacity, offset, static_cast<uint8_t>((value & 0x7F) | 0x80));
        if (offset < 0) return kPbNoRoom;
        value >>= 7;
    }
    return write_raw_byte(buf, capacity, offset, static_cast<uint8_t>(value));
}

long write_raw_varint32(uint8_t* buf, size_t capacity, long offset, uint32_t value) {
    return write_raw_varint64(buf, capacity, offset, value);
}

size_t varint_packed_size(int64_t value) {
    uint64_t v = static_cast<uint64_t>(value);
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

long write_int32_with_tag(uint8_t* buf, size_t capacity, long offset, uint32_t field, int32_t value) {
    offset = write_raw_varint32(buf, capacity, offset, Tag(field, kWireVarint));
    if (offset < 0) return kPbNoRoom;
    if (value >= 0) return write_raw_varint32(buf, capacity, offset, static_cast<uint32_t>(value));
    // int32 fields carry negative values sign-extended to 64 bits.
    return write_raw_varint64(buf, capacity, offset, static_cast<uint64_t>(static_cast<int64_t>(value)));
}

long write_text_with_tag(uint8_t* buf, size_t capacity, long offset, uint32_t field, const PbText& text) {
    uint32_t len = text.len > kPbTextCapacity ? static_cast<uint32_t>(kPbTextCapacity) : text.len;
    offset = write_raw_varint32(buf, capacity, offset, Tag(field, kWireLengthDelimited));
    offset = write_raw_varint32(buf, capacity, offset, len);
    return write_raw_bytes(buf, capacity, offset, text.bytes, len);
}

long Ms_write_with_tag(int32_t value, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    return write_int32_with_tag(buf, capacity, offset, field, value);
}
long Gender_write_with_tag(int32_t value, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    return write_int32_with_tag(buf, capacity, offset, field, value);
}
long Dobt_write_with_tag(int32_t value, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    return write_int32_with_tag(buf, capacity, offset, field, value);
}
long LangCode_write_with_tag(int32_t value, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    return write_int32_with_tag(buf, capacity, offset, field, value);
}

// ---- Dob ----
void Dob_clear(Dob& m) { std::memset(&m, 0, sizeof m); }
bool Dob_is_default_message(const Dob& m) { return DobEmpty(m); }
long Dob_write(const Dob& m, uint8_t* buf, size_t capacity, long offset) {
    offset = write_int32_with_tag(buf, capacity, offset, 1, m.first);
    if (m.second != 0) offset = write_int32_with_tag(buf, capacity, offset, 2, m.second);
    if (m.third != 0) offset = write_int32_with_tag(buf, capacity, offset, 3, m.third);
    return offset;
}
long Dob_write_delimited_to(const Dob& m, uint8_t* buf, size_t capacity, long offset) {
    return WriteDelimited(m, buf, capacity, offset, Dob_write);
}
long Dob_write_with_tag(const Dob& m, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    offset = write_raw_varint32(buf, capacity, offset, Tag(field, kWireLengthDelimited));
    return Dob_write_delimited_to(m, buf, capacity, offset);
}

// ---- Pi ----
void Pi_clear(Pi& m) { std::memset(&m, 0, sizeof m); }
bool Pi_is_default_message(const Pi& m) {
    return m.ms == 0 && IsEmpty(m.name) && m.mv == 0 && IsEmpty(m.lname) && m.lmv == 0 && m.gender == 0 &&
           DobEmpty(m.dob) && m.dobt == 0 && m.age == 0 && IsEmpty(m.email) && IsEmpty(m.phone);
}
long Pi_write(const Pi& m, uint8_t* buf, size_t capacity, long offset) {
    if (m.ms != 0) offset = Ms_write_with_tag(m.ms, buf, capacity, offset, 1);
    if (!IsEmpty(m.name)) offset = write_text_with_tag(buf, capacity, offset, 2, m.name);
    if (m.mv != 0) offset = write_int32_with_tag(buf, capacity, offset, 3, m.mv);
    if (!IsEmpty(m.lname)) offset = write_text_with_tag(buf, capacity, offset, 4, m.lname);
    if (m.lmv != 0) offset = write_int32_with_tag(buf, capacity, offset, 5, m.lmv);
    if (m.gender != 0) offset = Gender_write_with_tag(m.gender, buf, capacity, offset, 6);
    if (!DobEmpty(m.dob)) offset = Dob_write_with_tag(m.dob, buf, capacity, offset, 7);
    if (m.dobt != 0) offset = Dobt_write_with_tag(m.dobt, buf, capacity, offset, 8);
    if (m.age != 0) offset = write_int32_with_tag(buf, capacity, offset, 9, m.age);
    if (!IsEmpty(m.email)) offset = write_text_with_tag(buf, capacity, offset, 10, m.email);
    if (!IsEmpty(m.phone)) offset = write_text_with_tag(buf, capacity, offset, 11, m.phone);
    return offset;
}
long Pi_write_delimited_to(const Pi& m, uint8_t* buf, size_t capacity, long offset) {
    return WriteDelimited(m, buf, capacity, offset, Pi_write);
}
long Pi_write_with_tag(const Pi& m, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    offset = write_raw_varint32(buf, capacity, offset, Tag(field, kWireLengthDelimited));
    return Pi_write_delimited_to(m, buf, capacity, offset);
}

// ---- Pa ----
void Pa_clear(Pa& m) { std::memset(&m, 0, sizeof m); }
bool Pa_is_default_message(const Pa& m) {
    return m.ms == 0 && IsEmpty(m.co) && IsEmpty(m.house) && IsEmpty(m.street) && IsEmpty(m.lm) &&
           IsEmpty(m.loc) && IsEmpty(m.vtc) && IsEmpty(m.subdist) && IsEmpty(m.dist) && IsEmpty(m.state) &&
           IsEmpty(m.pc) && IsEmpty(m.po) && IsEmpty(m.country);
}
long Pa_write(const Pa& m, uint8_t* buf, size_t capacity, long offset) {
    if (m.ms != 0) offset = Ms_write_with_tag(m.ms, buf, capacity, offset, 1);
    const PbText* texts[] = {&m.co,  &m.house, &m.street, &m.lm, &m.loc, &m.vtc,
                             &m.subdist, &m.dist, &m.state, &m.pc, &m.po, &m.country};
    uint32_t field = 2;
    for (const PbText* t : texts) {
        if (!IsEmpty(*t)) offset = write_text_with_tag(buf, capacity, offset, field, *t);
        ++field;
    }
    return offset;
}
long Pa_write_delimited_to(const Pa& m, uint8_t* buf, size_t capacity, long offset) {
    return WriteDelimited(m, buf, capacity, offset, Pa_write);
}
long Pa_write_with_tag(const Pa& m, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    offset = write_raw_varint32(buf, capacity, offset, Tag(field, kWireLengthDelimited));
    return Pa_write_delimited_to(m, buf, capacity, offset);
}

// ---- Pfa ----
void Pfa_clear(Pfa& m) { std::memset(&m, 0, sizeof m); }
bool Pfa_is_default_message(const Pfa& m) {
    return m.ms == 0 && IsEmpty(m.av) && m.mv == 0 && IsEmpty(m.lav) && m.lmv == 0;
}
long Pfa_write(const Pfa& m, uint8_t* buf, size_t capacity, long offset) {
    if (m.ms != 0) offset = Ms_write_with_tag(m.ms, buf, capacity, offset, 1);
    if (!IsEmpty(m.av)) offset = write_text_with_tag(buf, capacity, offset, 2, m.av);
    if (m.mv != 0) offset = write_int32_with_tag(buf, capacity, offset, 3, m.mv);
    if (!IsEmpty(m.lav)) offset = write_text_with_tag(buf, capacity, offset, 4, m.lav);
    if (m.lmv != 0) offset = write_int32_with_tag(buf, capacity, offset, 5, m.lmv);
    return offset;
}
long Pfa_write_delimited_to(const Pfa& m, uint8_t* buf, size_t capacity, long offset) {
    return WriteDelimited(m, buf, capacity, offset, Pfa_write);
}
long Pfa_write_with_tag(const Pfa& m, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    offset = write_raw_varint32(buf, capacity, offset, Tag(field, kWireLengthDelimited));
    return Pfa_write_delimited_to(m, buf, capacity, offset);
}

// ---- Demo ----
void Demo_clear(Demo& m) { std::memset(&m, 0, sizeof m); }
bool Demo_is_default_message(const Demo& m) {
    return m.lang == 0 && Pi_is_default_message(m.pi) && Pa_is_default_message(m.pa) &&
           Pfa_is_default_message(m.pfa);
}
long Demo_write(const Demo& m, uint8_t* buf, size_t capacity, long offset) {
    if (m.lang != 0) offset = LangCode_write_with_tag(m.lang, buf, capacity, offset, 1);
    if (!Pi_is_default_message(m.pi)) offset = Pi_write_with_tag(m.pi, buf, capacity, offset, 2);
    if (!Pa_is_default_message(m.pa)) offset = Pa_write_with_tag(m.pa, buf, capacity, offset, 3);
    if (!Pfa_is_default_message(m.pfa)) offset = Pfa_write_with_tag(m.pfa, buf, capacity, offset, 4);
    return offset;
}
long Demo_write_delimited_to(const Demo& m, uint8_t* buf, size_t capacity, long offset) {
    return WriteDelimited(m, buf, capacity, offset, Demo_write);
}
long Demo_write_with_tag(const Demo& m, uint8_t* buf, size_t capacity, long offset, uint32_t field) {
    offset = write_raw_varint32(buf, capacity, offset, Tag(field, kWireLengthDelimited));
    return Demo_write_delimited_to(m, buf, capacity, offset);
}

}  // namespace velm::pid
