#pragma once
// A read-only n-dimensional array exchanged with a loaded model: element type, shape, strides
// (in elements) and a pointer into storage kept alive by a shared owner. Copies share the
// storage. Knows nothing of the runtime that produced it.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace corvaline {

enum class ElementType {
    float16,
    float32,
    float64,
    int8,
    uint8,
    int16,
    int32,
    int64,
    boolean,
    other
};

/// "float16", "float32", ... for messages.
std::string_view elementTypeName(ElementType type);

/// IEEE half-precision bits to single precision (exact; infinities and NaN kept).
float halfToFloat(uint16_t bits);
/// Single precision to IEEE half-precision bits, rounded to nearest even.
uint16_t floatToHalf(float value);

class Tensor {
  public:
    Tensor() = default;
    /// A view of `data` laid out by `shape` and `strides`; `owner` keeps the memory alive.
    Tensor(ElementType type, std::vector<int64_t> shape, std::vector<int64_t> strides,
           const void* data, std::shared_ptr<const void> owner);

    /// A densely packed float32 tensor owning `values` (count must match the shape).
    static Tensor float32(std::vector<int64_t> shape, std::vector<float> values);
    /// A densely packed float16 tensor owning `bits`.
    static Tensor float16(std::vector<int64_t> shape, std::vector<uint16_t> bits);

    ElementType elementType() const { return type_; }
    const std::vector<int64_t>& shape() const { return shape_; }
    const std::vector<int64_t>& strides() const { return strides_; }
    const void* data() const { return data_; }
    /// Product of the shape (1 for a scalar, 0 for an empty tensor).
    int64_t count() const;

    /// True when the elements lie in row-major order without gaps: walking the dimensions from
    /// the last, every dimension of size >= 2 has a stride equal to the product of the sizes
    /// after it. Dimensions of size 1 are not checked.
    bool isPacked() const;

    /// Element number `index` in row-major order, through the strides, as double.
    double element(int64_t index) const;

    /// A view with dimensions `first` and `second` exchanged (no copy).
    Tensor transposed(int first, int second) const;
    /// A view keeping the first `length` elements of the last dimension (no copy).
    Tensor narrowedLast(int64_t length) const;

  private:
    ElementType type_ = ElementType::float32;
    std::vector<int64_t> shape_;
    std::vector<int64_t> strides_;
    const void* data_ = nullptr;
    std::shared_ptr<const void> owner_;
};

}  // namespace corvaline
