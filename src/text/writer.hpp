// Building one str from many pieces, as "".join(pieces) would.
#pragma once

#include <charconv>

#include "../pyref.hpp"

namespace zae {

// f(Py_UCS1()), f(Py_UCS2()) or f(Py_UCS4()): f given a unit of `kind` bytes.
template <class F>
[[gnu::always_inline]] inline void with_unit(int kind, F&& f) {
    if (kind == 1) f(Py_UCS1());
    else if (kind == 2) f(Py_UCS2());
    else f(Py_UCS4());
}

// `count` units of `From` at `from`, as units of `To` at `to`.
template <class From, class To>
[[gnu::always_inline]] inline void convert(const void* from, void* to, Py_ssize_t count) {
    auto in = static_cast<const From*>(from);
    for (Py_ssize_t i = 0; i < count; ++i) static_cast<To*>(to)[i] = static_cast<To>(in[i]);
}

// `count` units of `from_kind` bytes at `from`, as units of `to_kind` bytes at `to` (wider, or
// narrower when the characters fit).  Short runs, most pieces of a line, by two overlapping
// word copies instead of a call of memcpy.
[[gnu::always_inline]] inline void copy_units(int from_kind, const void* from, int to_kind, void* to,
                                              Py_ssize_t count) {
    auto size = static_cast<std::size_t>(count * to_kind);
    switch (from_kind * 8 + to_kind) {
        case 1 * 8 + 2: return convert<Py_UCS1, Py_UCS2>(from, to, count);
        case 1 * 8 + 4: return convert<Py_UCS1, Py_UCS4>(from, to, count);
        case 2 * 8 + 1: return convert<Py_UCS2, Py_UCS1>(from, to, count);
        case 2 * 8 + 4: return convert<Py_UCS2, Py_UCS4>(from, to, count);
        case 4 * 8 + 1: return convert<Py_UCS4, Py_UCS1>(from, to, count);
        case 4 * 8 + 2: return convert<Py_UCS4, Py_UCS2>(from, to, count);
    }
    if (size >= 8 && size <= 16) {
        std::memcpy(to, from, 8);
        std::memcpy(static_cast<char*>(to) + size - 8, static_cast<const char*>(from) + size - 8, 8);
    } else {
        std::memcpy(to, from, size);
    }
}

// Builds one str from pieces: their characters are copied once into a str that doubles as it
// fills, as wide as the widest piece so far (ASCII, 1, 2 or 4 bytes a character), widened
// when a wider piece comes.  So a text of N pieces costs O(total length), not the
// O(N * length) of ever-longer concatenations, and the str filled is the result when its
// width is the text's.  Nothing here runs Python code but write_formatted's format() of a
// value that is neither a str nor an int: the texts read are the caller's, and the objects
// made (str) are of a type the collector does not track, so their allocation runs no collection.
class TextWriter {
public:
    TextWriter() = default;
    // With room for `expected` ASCII characters made at once.
    explicit TextWriter(Py_ssize_t expected) : capacity_(expected) { widen(0x7f); }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // The characters of a str (or str subclass).
    [[gnu::always_inline]] void write(Borrowed text) {
        if (compat::ready(text) < 0) raise();  // a str made by the old Py_UNICODE calls
        write(text, 0, PyUnicode_GET_LENGTH(text.get()));
    }
    // text[start:end] of a ready str (nothing when end <= start).
    [[gnu::always_inline]] void write(Borrowed text, Py_ssize_t start, Py_ssize_t end) {
        PyObject* s = text.get();
        Py_UCS4 max = PyUnicode_MAX_CHAR_VALUE(s);
        if (start == 0 && end == PyUnicode_GET_LENGTH(s)) seen_ = std::max(seen_, max);
        append(max, PyUnicode_DATA(s), start, end - start);
    }
    // ASCII text.
    [[gnu::always_inline]] void write(std::string_view ascii) {
        append(0x7f, ascii.data(), 0, static_cast<Py_ssize_t>(ascii.size()));
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
        void* to = room(count);
        with_unit(kind_, [&](auto unit) { std::fill_n(static_cast<decltype(&unit)>(to), count, ascii); });
        length_ += count;
    }
    // f"{value}": format(value, "").  Shortcut: a str is itself and an int its
    // decimal digits (neither type's __format__ can be replaced).
    void write_formatted(Borrowed value) {
        if constexpr (fast_paths) {
            if (PyUnicode_CheckExact(value.get())) return write(value);
            if (PyLong_CheckExact(value.get()) && write_digits(value)) return;
        }
        write(Ref::steal(PyObject_Format(value, nullptr)));
    }

    // How many characters have been written.
    Py_ssize_t size() const { return length_; }
    // The characters written since `mark` (an earlier size()), as a new str, taken out of the writer.
    Ref take(Py_ssize_t mark) {
        Ref taken = Ref::steal(PyUnicode_FromKindAndData(kind_, units_ + mark * kind_, length_ - mark));
        length_ = mark;
        seen_ = 0x7f;  // what is left may be narrower than the str
        return taken;
    }
    // The text written, as a new str: the str filled when some whole piece was as wide as it
    // (else a narrower copy may be due: every str is of the narrowest width that holds it).
    Ref finish() {
        if (!text_ || seen_ < max_) return Ref::steal(PyUnicode_FromKindAndData(kind_, units_, length_));
        resize(length_);
        return std::move(text_);
    }

private:
    // str(number) for an int that fits a long (apart, with its array: a function with one on its
    // stack is guarded by hardened builds at every call).
    [[gnu::noinline]] bool write_digits(Borrowed number) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(number, &overflow);
        char digits[24];
        if (!overflow) write(std::string_view(digits, std::to_chars(digits, digits + 24, value).ptr - digits));
        return !overflow;
    }

    // `count` characters from index `start` of the units at `data`, of a text whose characters
    // are at most `max`, widening what is written first if the text is wider.
    [[gnu::always_inline]] void append(Py_UCS4 max, const void* data, Py_ssize_t start, Py_ssize_t count) {
        if (count <= 0) return;
        if (max > max_) widen(max);
        int kind = max < 0x100 ? 1 : max < 0x10000 ? 2 : 4;
        copy_units(kind, static_cast<const char*>(data) + start * kind, kind_, room(count), count);
        length_ += count;
    }
    // Where `count` more units go, the str grown (doubled at least) if they do not fit.
    [[gnu::always_inline]] void* room(Py_ssize_t count) {
        if (!text_) widen(0x7f);
        if (length_ + count > capacity_) resize(std::max({2 * capacity_, length_ + count, Py_ssize_t{256}}));
        return units_ + length_ * kind_;
    }
    // What is written, moved into a new str for characters up to `max`.
    [[gnu::noinline]] void widen(Py_UCS4 max) {
        capacity_ = std::max(capacity_, Py_ssize_t{256});
        Ref wider = Ref::steal(PyUnicode_New(capacity_, max));
        char* units = static_cast<char*>(PyUnicode_DATA(wider.get()));
        if (length_) copy_units(kind_, units_, PyUnicode_KIND(wider.get()), units, length_);
        text_ = std::move(wider);
        units_ = units;
        max_ = max;
        kind_ = PyUnicode_KIND(text_.get());
    }
    // The str at `capacity` units.
    [[gnu::noinline]] void resize(Py_ssize_t capacity) {
        PyObject* text = text_.release();
        int status = PyUnicode_Resize(&text, capacity);
        text_ = Ref::steal_or_null(text);  // unchanged if the resize failed
        check(status);
        units_ = static_cast<char*>(PyUnicode_DATA(text));
        capacity_ = capacity;
    }

    Ref text_;  // capacity_ units of kind_ bytes, the first length_ written, for characters up to max_
    char* units_ = nullptr;
    Py_ssize_t capacity_ = 0, length_ = 0;
    int kind_ = 1;
    Py_UCS4 max_ = 0, seen_ = 0x7f;  // seen_: the widest class of the whole pieces written
};

}  // namespace zae
