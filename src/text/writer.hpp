// Building one str from many pieces, as "".join(pieces) would.
#pragma once

#include <charconv>

#include "../pyref.hpp"

namespace zae {

// `count` units of `From` at `from`, as units of `To` at `to`.
template <class From, class To>
[[gnu::always_inline]] inline void convert(const void* from, void* to, Py_ssize_t count) {
    auto in = static_cast<const From*>(from);
    for (Py_ssize_t i = 0; i < count; ++i) static_cast<To*>(to)[i] = static_cast<To>(in[i]);
}

// `count` units of `from_kind` bytes at `from`, as units of `to_kind` bytes at `to` (wider, or
// narrower when the characters fit).  Runs of 8 to 16 bytes (most pieces of a line) by two
// overlapping word copies, without a call of memcpy.
[[gnu::always_inline]] inline void copy_units(int from_kind, const void* from, int to_kind, void* to,
                                              Py_ssize_t count) {
    auto size = static_cast<std::size_t>(count * to_kind);
    if (from_kind == 1 && to_kind == 2) return convert<Py_UCS1, Py_UCS2>(from, to, count);  // ASCII in wider text
    if (from_kind != to_kind) {
        switch (from_kind * 8 + to_kind) {
            case 1 * 8 + 4: return convert<Py_UCS1, Py_UCS4>(from, to, count);
            case 2 * 8 + 1: return convert<Py_UCS2, Py_UCS1>(from, to, count);
            case 2 * 8 + 4: return convert<Py_UCS2, Py_UCS4>(from, to, count);
            case 4 * 8 + 1: return convert<Py_UCS4, Py_UCS1>(from, to, count);
            default: return convert<Py_UCS4, Py_UCS2>(from, to, count);
        }
    }
    if (size < 8 || size > 16) return (void)std::memcpy(to, from, size);
    std::memcpy(to, from, 8);
    std::memcpy(static_cast<char*>(to) + size - 8, static_cast<const char*>(from) + size - 8, 8);
}

// "".join(pieces), written as they come: the characters are copied once into a buffer of the
// widest piece's width (1, 2 or 4 bytes a character, widened when a wider piece comes), on the
// stack while the text is short, else a str that grows by half and is the result itself.  Nothing
// here runs Python code but write_formatted's format() of a value neither str nor int: the texts
// read are the caller's, and a str's allocation runs no collection (the collector tracks none).
class TextWriter {
public:
    TextWriter() = default;
    explicit TextWriter(Py_ssize_t expected) {  // with room for `expected` ASCII characters
        if (expected > capacity_) make_room(0x7f, expected);
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // The characters of a str (or of a subclass).
    [[gnu::always_inline]] void write(Borrowed text) {
        if (compat::ready(text) < 0) raise();  // a str made by the old Py_UNICODE calls
        write(text, 0, PyUnicode_GET_LENGTH(text.get()));
    }
    // text[start:end] of a ready str, for 0 <= start <= end <= len(text).
    [[gnu::always_inline]] void write(Borrowed text, Py_ssize_t start, Py_ssize_t end) {
        PyObject* s = text.get();
        int kind = PyUnicode_KIND(s);
        append(PyUnicode_MAX_CHAR_VALUE(s), kind, static_cast<const char*>(PyUnicode_DATA(s)) + start * kind,
               end - start);
    }
    [[gnu::always_inline]] void write(std::string_view ascii) {
        append(0x7f, 1, ascii.data(), static_cast<Py_ssize_t>(ascii.size()));
    }
    // text.replace(old, new_) of a str, for ASCII old and new_, written without making it.
    void write_replacing(Borrowed text, char old, char new_) {
        if (compat::ready(text) < 0) raise();
        Py_ssize_t length = PyUnicode_GET_LENGTH(text.get()), from = 0, found;
        while ((found = PyUnicode_FindChar(text, static_cast<Py_UCS4>(old), from, length, 1)) >= 0) {
            write(text, from, found);
            write(std::string_view(&new_, 1));
            from = found + 1;
        }
        if (found == -2) raise();
        write(text, from, length);
    }
    // ascii * count (nothing for a count below 1).
    void fill(char ascii, Py_ssize_t count) {
        if (count <= 0) return;
        if (length_ + count > capacity_) make_room(0x7f, count);
        char* to = units_ + length_ * kind_;
        if (kind_ == 1) std::memset(to, ascii, static_cast<std::size_t>(count));
        else if (kind_ == 2) std::fill_n(reinterpret_cast<Py_UCS2*>(to), count, ascii);
        else std::fill_n(reinterpret_cast<Py_UCS4*>(to), count, ascii);
        length_ += count;
    }
    // f"{value}": format(value, "").  Shortcut: a str is itself and an int its decimal digits
    // (neither type's __format__ can be replaced).
    [[gnu::always_inline]] void write_formatted(Borrowed value) {
        if constexpr (fast_paths) {
            if (PyUnicode_CheckExact(value.get())) return write(value);
            if (PyLong_CheckExact(value.get()) && write_digits(value)) return;
        }
        write(Ref::steal(PyObject_Format(value, nullptr)));
    }

    Py_ssize_t size() const { return length_; }  // the characters written
    // The characters written since `mark` (an earlier size()), as a new str, taken out of the writer.
    Ref take(Py_ssize_t mark) {
        Ref taken = Ref::steal(PyUnicode_FromKindAndData(kind_, units_ + mark * kind_, length_ - mark));
        length_ = mark;
        return taken;
    }
    // The text written, as a new str (the writer is done then): the str written into if the text
    // has a character of its width, else a copy of the narrowest width, as every str is.
    Ref finish() {
        bool wide = max_ == 0x7f || has_wider_than(max_ == 0xff ? 0x7f : max_ == 0xffff ? 0xff : 0xffff);
        if (!wide) return Ref::steal(PyUnicode_FromKindAndData(kind_, units_, length_));  // narrowed
        if (text_) {
            resize(length_);
            return std::move(text_);
        }
        Ref result = Ref::steal(PyUnicode_New(length_, max_));  // as wide as the text, copied without a scan
        std::memcpy(PyUnicode_DATA(result.get()), units_, static_cast<std::size_t>(length_ * kind_));
        return result;
    }

private:
    // str(number) for an int that fits a long (apart, with its array: hardened builds guard a
    // function with one on its stack at every call).
    [[gnu::noinline]] bool write_digits(Borrowed number) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(number, &overflow);
        char digits[24];
        if (!overflow) write(std::string_view(digits, std::to_chars(digits, digits + 24, value).ptr - digits));
        return !overflow;
    }

    // `count` units of `kind` bytes from `data`, of a text whose characters are at most `max`.
    [[gnu::always_inline]] void append(Py_UCS4 max, int kind, const char* data, Py_ssize_t count) {
        if (max > max_ || length_ + count > capacity_) make_room(max, count);
        copy_units(kind, data, kind_, units_ + length_ * kind_, count);
        length_ += count;
    }
    // Room for `count` more characters, the text widened for characters up to `max`: in place
    // while it fits on the stack, else moved into a str of its own (or that str grown by half).
    [[gnu::noinline]] void make_room(Py_UCS4 max, Py_ssize_t count) {
        max = std::max(max, max_);
        int kind = max < 0x100 ? 1 : max < 0x10000 ? 2 : 4;
        Py_ssize_t capacity = std::max(capacity_ + capacity_ / 2, length_ + count);
        if (!text_ && (length_ + count) * kind <= Py_ssize_t{sizeof local_}) {
            for (Py_ssize_t i = length_ - 1; kind != kind_ && i >= 0; --i) {  // from the last down
                PyUnicode_WRITE(kind, local_, i, PyUnicode_READ(kind_, local_, i));
            }
            capacity = Py_ssize_t{sizeof local_} / kind;
        } else if (text_ && max == max_) {
            resize(capacity);
        } else {
            Ref wider = Ref::steal(PyUnicode_New(capacity, max));
            copy_units(kind_, units_, kind, PyUnicode_DATA(wider.get()), length_);
            text_ = std::move(wider);
            units_ = static_cast<char*>(PyUnicode_DATA(text_.get()));
        }
        max_ = max;
        kind_ = kind;
        capacity_ = capacity;
    }
    // The str written into, at `capacity` units.
    void resize(Py_ssize_t capacity) {
        PyObject* text = text_.release();
        int status = PyUnicode_Resize(&text, capacity);
        text_ = Ref::steal_or_null(text);  // unchanged if the resize failed
        check(status);
        units_ = static_cast<char*>(PyUnicode_DATA(text));
    }
    bool has_wider_than(Py_UCS4 narrower) const {  // a character above `narrower` written?
        Py_ssize_t i = 0;
        while (i < length_ && PyUnicode_READ(kind_, units_, i) <= narrower) ++i;
        return i < length_;
    }

    alignas(8) char local_[2048];
    Ref text_;  // once the text has left local_: capacity_ units of kind_ bytes, characters up to max_
    char* units_ = local_;
    Py_ssize_t capacity_ = sizeof local_, length_ = 0;  // in units
    int kind_ = 1;
    Py_UCS4 max_ = 0x7f;
};

// The concatenation of pieces that must all be str (an f-string's parts, or a chain of + between
// texts), with join()'s error for any other.
inline Ref concat(std::initializer_list<Borrowed> pieces) {
    for (Borrowed piece : pieces) {
        if (!PyUnicode_Check(piece.get())) return join(text(""), tuple_of(pieces));
    }
    TextWriter out;
    for (Borrowed piece : pieces) out.write(piece);
    return out.finish();
}

}  // namespace zae
