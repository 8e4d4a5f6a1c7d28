// A growable array of plain values: the starts and depths of runs.
#ifndef TOLVENDRA_KERNELS_COLUMN_H
#define TOLVENDRA_KERNELS_COLUMN_H

#include <stddef.h>
#include <stdlib.h>

#include <algorithm>
#include <new>
#include <type_traits>

namespace tolvendra {

// Grows by realloc(), which glibc serves for large blocks by remapping
// their pages: runs of tens of millions grow without being copied or
// their pages touched anew, as std::vector's growth copies them. And
// resize() leaves the room it adds unset, for the caller to write, where
// std::vector would zero it first.
template <class T>
class Column {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");

public:
    Column() = default;
    Column(const Column &other) { append(other.begin(), other.end()); }
    Column(Column &&other) noexcept { swap(other); }
    Column &operator=(Column other) noexcept
    {
        swap(other);
        return *this;
    }
    ~Column() { free(p_); }
    void swap(Column &other) noexcept
    {
        std::swap(p_, other.p_);
        std::swap(n_, other.n_);
        std::swap(cap_, other.cap_);
    }

    size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    T *data() { return p_; }
    const T *data() const { return p_; }
    T &operator[](size_t i) { return p_[i]; }
    const T &operator[](size_t i) const { return p_[i]; }
    T *begin() { return p_; }
    T *end() { return p_ + n_; }
    const T *begin() const { return p_; }
    const T *end() const { return p_ + n_; }
    const T &back() const { return p_[n_ - 1]; }

    void clear() { n_ = 0; }
    // Hands over the values' memory, shrunk to their size, for the caller
    // to free(); the column is left empty.
    T *release()
    {
        if (n_ < cap_ && n_ > 0) {
            if (void *p = realloc(p_, n_ * sizeof(T)))
                p_ = static_cast<T *>(p);
        }
        T *p = p_;
        p_ = nullptr;
        n_ = cap_ = 0;
        return p;
    }
    void push_back(T v)
    {
        if (n_ == cap_)
            grow(n_ + 1);
        p_[n_++] = v;
    }
    // n values; any added are unset
    void resize(size_t n)
    {
        if (n > cap_)
            grow(n);
        n_ = n;
    }
    template <class It>
    void append(It first, It last)
    {
        const size_t k = n_;
        resize(k + static_cast<size_t>(last - first));
        std::copy(first, last, p_ + k);
    }
    template <class It>
    void assign(It first, It last)
    {
        clear();
        append(first, last);
    }

    friend bool operator==(const Column &a, const Column &b)
    {
        return a.n_ == b.n_ && std::equal(a.begin(), a.end(), b.begin());
    }
    friend bool operator!=(const Column &a, const Column &b) { return !(a == b); }

private:
    void grow(size_t need)
    {
        const size_t cap = std::max<size_t>({need, 2 * cap_, 16});
        void *p = realloc(p_, cap * sizeof(T));
        if (!p)
            throw std::bad_alloc();
        p_ = static_cast<T *>(p);
        cap_ = cap;
    }

    T *p_ = nullptr;
    size_t n_ = 0, cap_ = 0;
};

} // namespace tolvendra

#endif
