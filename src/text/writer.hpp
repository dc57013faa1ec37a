// Building one str from many pieces, in place.
#pragma once

#include <charconv>

#include "../pyref.hpp"

namespace zae {

// Builds one str from pieces, in place: the characters are copied once into
// a growing buffer (amortised doubling) of the narrowest width that holds
// them so far.  So a text of N pieces costs O(total length), not the
// O(N * length) of ever-longer concatenations.  A short text is written on
// the stack and copied once more into the result; a longer one is written
// into a str, which becomes the result when it has the result's width.
// Nothing here runs Python code but write_formatted's format() of a value
// that is neither a str nor an int: the texts read are the caller's, and the
// objects made (str) are of a type the collector does not track, so their
// allocation runs no collection.
class TextWriter {
public:
    TextWriter() = default;
    // With room for `expected` characters of one byte made at once.
    explicit TextWriter(Py_ssize_t expected) {
        if (expected > 0) reserve(expected);
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // The characters of a str (or str subclass).
    [[gnu::always_inline]] void write(Borrowed text) {
        PyObject* s = text.get();
        if (compat::ready(s) < 0) raise();  // a str made by the old Py_UNICODE calls
        write(text, 0, PyUnicode_GET_LENGTH(s));
    }
    // The characters start to end (exclusive) of a ready str.  The common
    // case (as wide as the text so far, room left) is a copy of bytes.
    [[gnu::always_inline]] void write(Borrowed text, Py_ssize_t start, Py_ssize_t end) {
        PyObject* s = text.get();
        Py_ssize_t n = end - start;
        if (n <= 0) return;
        int kind = PyUnicode_KIND(s);
        const char* data = static_cast<const char*>(PyUnicode_DATA(s)) + start * kind;
        if (!PyUnicode_IS_ASCII(s)) ascii_ = false;
        if (has_room(n)) {
            if (kind == kind_) return append_bytes(data, n);
            if (kind == 1 && kind_ == 2) return append_widened<Py_UCS1, Py_UCS2>(data, n);
        }
        write_converted(data, kind, n);
    }
    // The characters of a str, each `old` (ASCII) written as `new_` (ASCII):
    // what s.replace(old, new_) gives, without making it.
    void write_replacing(Borrowed text, char old, char new_) {
        PyObject* s = text.get();
        if (compat::ready(s) < 0) raise();
        Py_ssize_t length = PyUnicode_GET_LENGTH(s), from = 0;
        while (from < length) {
            Py_ssize_t found = PyUnicode_FindChar(s, static_cast<Py_UCS4>(old), from, length, 1);
            if (found == -2) raise();
            if (found < 0) break;
            write(text, from, found);
            write(std::string_view(&new_, 1));
            from = found + 1;
        }
        write(text, from, length);
    }
    // ASCII text.
    [[gnu::always_inline]] void write(std::string_view ascii) {
        auto n = static_cast<Py_ssize_t>(ascii.size());
        if (has_room(n)) {
            if (kind_ == 1) return append_bytes(ascii.data(), n);
            if (kind_ == 2) return append_widened<Py_UCS1, Py_UCS2>(ascii.data(), n);
        }
        write_converted(ascii.data(), 1, n);
    }
    // An ASCII character `count` times (none for a count below 1, as " " * n).
    void fill(char ascii, Py_ssize_t count) {
        if (count <= 0) return;
        if (kind_ <= 2 && has_room(count)) {
            if (kind_ == 1) {
                std::memset(units_ + length_, ascii, static_cast<std::size_t>(count));
            } else {
                std::fill_n(reinterpret_cast<Py_UCS2*>(units_) + length_, count, static_cast<Py_UCS2>(ascii));
            }
            length_ += count;
            return;
        }
        fill_in_runs(ascii, count);
    }
    // (Apart, with its buffer: a function with an array on its stack is
    // guarded by the hardened builds at every call.)
    [[gnu::noinline]] void fill_in_runs(char ascii, Py_ssize_t count) {
        for (; count > 0; count -= 64) {
            char run[64];
            std::memset(run, ascii, sizeof run);
            write(std::string_view(run, static_cast<std::size_t>(std::min<Py_ssize_t>(count, 64))));
        }
    }
    // What an f-string field `{value}` shows: format(value, "").  A str is
    // itself and an int its decimal digits (neither type's __format__ can be
    // replaced); anything else goes through format().
    void write_formatted(Borrowed value) {
        PyObject* v = value.get();
        if (PyUnicode_CheckExact(v)) return write(value);
        if (PyLong_CheckExact(v) && write_digits(v)) return;
        Ref shown = Ref::steal(PyObject_Format(v, nullptr));
        write(shown);
    }
    // An int's decimal digits, if it fits a long (apart, with its buffer: see
    // fill_in_runs).
    [[gnu::noinline]] bool write_digits(PyObject* number) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(number, &overflow);
        if (overflow) return false;
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        write(std::string_view(digits, static_cast<std::size_t>(end - digits)));
        return true;
    }

    // How many characters have been written.
    Py_ssize_t size() const { return length_; }

    // The characters written since `mark` (an earlier size()), as a new str,
    // taken out of the writer.
    Ref take(Py_ssize_t mark) {
        Ref taken = Ref::steal(PyUnicode_FromKindAndData(kind_, units_ + static_cast<std::size_t>(mark) * kind_,
                                                         length_ - mark));
        length_ = mark;
        width_unknown_ = true;  // what is left may be narrower than what was taken
        return taken;
    }

    // The text written so far, as a new str.  The str written into is that
    // str, cut to length, when its width is the text's: the text has a
    // character as wide as the width (a piece that was did not go), and is
    // not all ASCII (a str of one-byte units is laid out apart then).
    Ref finish() {
        if (width_unknown_) return Ref::steal(PyUnicode_FromKindAndData(kind_, units_, length_));
        if (heap_ && !(kind_ == 1 && ascii_)) {
            resize_heap(length_);
            Ref result = std::move(heap_);
            units_ = local_, capacity_ = sizeof local_, length_ = 0, kind_ = 1, ascii_ = true;  // empty again
            return result;
        }
        Py_UCS4 max_char = ascii_ ? 0x7f : kind_ == 1 ? 0xff : kind_ == 2 ? 0xffff : 0x10ffff;
        Ref result = Ref::steal(PyUnicode_New(length_, max_char));
        if (length_) std::memcpy(PyUnicode_DATA(result.get()), units_, static_cast<std::size_t>(length_) * kind_);
        return result;
    }

private:
    bool has_room(Py_ssize_t count) const { return static_cast<std::size_t>(length_ + count) <= capacity_; }

    // `count` units of the current width, from `data`, where there is room:
    // short runs (most pieces of a line) by two overlapping word copies.
    void append_bytes(const char* data, Py_ssize_t count) {
        char* to = units_ + static_cast<std::size_t>(length_) * kind_;
        std::size_t size = static_cast<std::size_t>(count) * kind_;
        if (size >= 8 && size <= 16) {
            std::memcpy(to, data, 8);
            std::memcpy(to + size - 8, data + size - 8, 8);
        } else if (size >= 4 && size < 8) {
            std::memcpy(to, data, 4);
            std::memcpy(to + size - 4, data + size - 4, 4);
        } else {
            std::memcpy(to, data, size);
        }
        length_ += count;
    }

    // `count` narrower units from `data`, widened, where there is room.
    template <class From, class To>
    void append_widened(const char* data, Py_ssize_t count) {
        To* to = reinterpret_cast<To*>(units_) + length_;
        const From* from = reinterpret_cast<const From*>(data);
        for (Py_ssize_t i = 0; i < count; ++i) to[i] = from[i];
        length_ += count;
    }

    // `count` units of width `kind` from `data`, widening what is written so
    // far, or these units, to the wider of the two.
    [[gnu::noinline]] void write_converted(const char* data, int kind, Py_ssize_t count) {
        if (kind > kind_) widen(kind);
        switch (kind_ * 8 + kind) {
            case 1 * 8 + 1: copy<Py_UCS1, Py_UCS1>(data, count); break;
            case 2 * 8 + 1: copy<Py_UCS1, Py_UCS2>(data, count); break;
            case 2 * 8 + 2: copy<Py_UCS2, Py_UCS2>(data, count); break;
            case 4 * 8 + 1: copy<Py_UCS1, Py_UCS4>(data, count); break;
            case 4 * 8 + 2: copy<Py_UCS2, Py_UCS4>(data, count); break;
            default: copy<Py_UCS4, Py_UCS4>(data, count); break;
        }
    }

    // Room for `count` more units of the current width.
    void* reserve(Py_ssize_t count) {
        std::size_t needed = static_cast<std::size_t>(length_ + count);
        if (needed > capacity_) {
            std::size_t capacity = std::max<std::size_t>({needed, capacity_ * 2, 256});
            if (heap_) {
                resize_heap(static_cast<Py_ssize_t>(capacity));
            } else {
                move_to_heap(capacity, kind_);
            }
        }
        return units_ + static_cast<std::size_t>(length_) * kind_;
    }
    // The str written into, at `capacity` units (its text kept).
    void resize_heap(Py_ssize_t capacity) {
        PyObject* text = heap_.release();
        int status = PyUnicode_Resize(&text, capacity);
        heap_ = Ref::steal_or_null(text);  // unchanged if the resize failed
        check(status);
        units_ = static_cast<char*>(PyUnicode_DATA(heap_.get()));
        capacity_ = static_cast<std::size_t>(capacity);
    }
    // What is written so far moved into a new str of `capacity` units of
    // `kind` (not narrower than the text), one of non-ASCII layout.
    void move_to_heap(std::size_t capacity, int kind) {
        Ref wider = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(capacity), kind == 1 ? 0xff : kind == 2 ? 0xffff : 0x10ffff));
        char* to = static_cast<char*>(PyUnicode_DATA(wider.get()));
        if (kind == kind_) std::memcpy(to, units_, static_cast<std::size_t>(length_) * kind_);
        else widen_into(to, kind);
        heap_ = std::move(wider);
        units_ = to;
        capacity_ = capacity;
        kind_ = kind;
    }
    template <class From, class To>
    void copy(const void* data, Py_ssize_t count) {
        To* out = static_cast<To*>(reserve(count));
        const From* in = static_cast<const From*>(data);
        if constexpr (sizeof(From) == sizeof(To)) {
            std::memcpy(out, in, static_cast<std::size_t>(count) * sizeof(To));
        } else {
            for (Py_ssize_t i = 0; i < count; ++i) out[i] = in[i];
        }
        length_ += count;
    }
    // Re-encode what is written so far in the wider `kind`: in place while
    // the local buffer holds the wider text (from the last unit down, so that
    // none is overwritten before it is read), else into a new str of the
    // same capacity in units (a copy of what is written, not of the whole
    // buffer).
    void widen(int kind) {
        if (heap_ || static_cast<std::size_t>(length_) * kind > sizeof local_) return move_to_heap(capacity_, kind);
        widen_into(local_, kind);
        capacity_ = sizeof local_ / kind;
        kind_ = kind;
    }
    // What is written so far, in the wider `kind`, at `to`.
    void widen_into(char* to, int kind) const {
        if (kind_ == 1 && kind == 2) widen_units<Py_UCS1, Py_UCS2>(to);
        else if (kind_ == 1) widen_units<Py_UCS1, Py_UCS4>(to);
        else widen_units<Py_UCS2, Py_UCS4>(to);
    }
    template <class From, class To>
    void widen_units(char* to) const {
        const From* from = reinterpret_cast<const From*>(units_);
        for (Py_ssize_t i = length_ - 1; i >= 0; --i) reinterpret_cast<To*>(to)[i] = static_cast<To>(from[i]);
    }

    // length_ units of kind_ bytes each, in local_ while they fit there,
    // then in heap_'s data
    alignas(8) char local_[2048];
    Ref heap_;
    char* units_ = local_;
    std::size_t capacity_ = sizeof local_;  // in units
    Py_ssize_t length_ = 0;
    int kind_ = 1;
    bool ascii_ = true;
    bool width_unknown_ = false;  // after take(): kind_ and ascii_ may be wider than the text left
};


}  // namespace zae
