#include "audiocore/modelruntime/Tensor.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace corvaline {

std::string_view elementTypeName(ElementType type) {
    switch (type) {
        case ElementType::float16:
            return "float16";
        case ElementType::float32:
            return "float32";
        case ElementType::float64:
            return "float64";
        case ElementType::int8:
            return "int8";
        case ElementType::uint8:
            return "uint8";
        case ElementType::int16:
            return "int16";
        case ElementType::int32:
            return "int32";
        case ElementType::int64:
            return "int64";
        case ElementType::boolean:
            return "bool";
        case ElementType::other:
            break;
    }
    return "other";
}

float halfToFloat(uint16_t bits) {
    const uint32_t sign = uint32_t(bits & 0x8000u) << 16;
    const uint32_t exponent = (bits >> 10) & 0x1Fu;
    const uint32_t mantissa = bits & 0x3FFu;
    if (exponent == 0) {
        // Zero or subnormal: mantissa x 2^-24.
        const float magnitude = std::ldexp(float(mantissa), -24);
        return sign ? -magnitude : magnitude;
    }
    if (exponent == 0x1F) {
        return std::bit_cast<float>(sign | 0x7F800000u | (mantissa << 13));
    }
    return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (mantissa << 13));
}

uint16_t floatToHalf(float value) {
    const uint32_t f = std::bit_cast<uint32_t>(value);
    const uint16_t sign = uint16_t((f >> 16) & 0x8000u);
    const uint32_t magnitude = f & 0x7FFFFFFFu;
    if (magnitude >= 0x7F800000u) {  // infinity or NaN
        return uint16_t(sign | 0x7C00u | (magnitude > 0x7F800000u ? 0x200u : 0u));
    }
    if (magnitude >= 0x477FF000u) return uint16_t(sign | 0x7C00u);  // rounds past 65504
    if (magnitude < 0x38800000u) {
        // Subnormal half (or zero): round |value| x 2^24 to the nearest integer, ties to even.
        const float scaled = std::ldexp(std::bit_cast<float>(magnitude), 24);
        return uint16_t(sign | uint16_t(std::nearbyint(scaled)));
    }
    const uint32_t rounded = magnitude + 0xFFFu + ((magnitude >> 13) & 1u);
    return uint16_t(sign | uint16_t((rounded - 0x38000000u) >> 13));
}

namespace {

size_t elementSize(ElementType type) {
    switch (type) {
        case ElementType::float16:
        case ElementType::int16:
            return 2;
        case ElementType::float32:
        case ElementType::int32:
            return 4;
        case ElementType::float64:
        case ElementType::int64:
            return 8;
        case ElementType::int8:
        case ElementType::uint8:
        case ElementType::boolean:
            return 1;
        case ElementType::other:
            break;
    }
    return 0;
}

std::vector<int64_t> packedStrides(const std::vector<int64_t>& shape) {
    std::vector<int64_t> strides(shape.size(), 1);
    int64_t running = 1;
    for (size_t d = shape.size(); d-- > 0;) {
        strides[d] = running;
        running *= shape[d];
    }
    return strides;
}

int64_t product(const std::vector<int64_t>& shape) {
    int64_t count = 1;
    for (int64_t size : shape)
        count *= size;
    return count;
}

// A densely packed tensor owning `values`.
template <typename T>
Tensor packed(ElementType type, std::vector<int64_t> shape, std::vector<T> values) {
    if (product(shape) != int64_t(values.size())) {
        throw std::invalid_argument("Tensor: value count does not match the shape");
    }
    auto storage = std::make_shared<std::vector<T>>(std::move(values));
    auto strides = packedStrides(shape);
    const void* data = storage->data();
    return Tensor(type, std::move(shape), std::move(strides), data, std::move(storage));
}

}  // namespace

Tensor::Tensor(ElementType type, std::vector<int64_t> shape, std::vector<int64_t> strides,
               const void* data, std::shared_ptr<const void> owner)
    : type_(type),
      shape_(std::move(shape)),
      strides_(std::move(strides)),
      data_(data),
      owner_(std::move(owner)) {
    if (shape_.size() != strides_.size()) {
        throw std::invalid_argument("Tensor: shape and strides differ in rank");
    }
    for (int64_t size : shape_) {
        if (size < 0) throw std::invalid_argument("Tensor: negative dimension");
    }
}

Tensor Tensor::float32(std::vector<int64_t> shape, std::vector<float> values) {
    return packed(ElementType::float32, std::move(shape), std::move(values));
}

Tensor Tensor::float16(std::vector<int64_t> shape, std::vector<uint16_t> bits) {
    return packed(ElementType::float16, std::move(shape), std::move(bits));
}

int64_t Tensor::count() const {
    return product(shape_);
}

bool Tensor::isPacked() const {
    int64_t running = 1;
    for (size_t d = shape_.size(); d-- > 0;) {
        if (shape_[d] >= 2 && strides_[d] != running) return false;
        running *= shape_[d];
    }
    return true;
}

double Tensor::element(int64_t index) const {
    if (index < 0 || index >= count()) throw std::out_of_range("Tensor: element index");
    int64_t offset = 0;
    for (size_t d = shape_.size(); d-- > 0;) {
        offset += (index % shape_[d]) * strides_[d];
        index /= shape_[d];
    }
    const auto* base =
        static_cast<const unsigned char*>(data_) + offset * int64_t(elementSize(type_));
    auto read = [base]<typename T>(T) {
        T value;
        std::memcpy(&value, base, sizeof(T));
        return value;
    };
    switch (type_) {
        case ElementType::float16:
            return halfToFloat(read(uint16_t{}));
        case ElementType::float32:
            return read(float{});
        case ElementType::float64:
            return read(double{});
        case ElementType::int8:
            return read(int8_t{});
        case ElementType::uint8:
            return read(uint8_t{});
        case ElementType::int16:
            return read(int16_t{});
        case ElementType::int32:
            return read(int32_t{});
        case ElementType::int64:
            return double(read(int64_t{}));
        case ElementType::boolean:
            return read(uint8_t{}) ? 1.0 : 0.0;
        case ElementType::other:
            break;
    }
    throw std::invalid_argument("Tensor: element type cannot be read");
}

Tensor Tensor::transposed(int first, int second) const {
    const int rank = int(shape_.size());
    if (first < 0 || second < 0 || first >= rank || second >= rank) {
        throw std::out_of_range("Tensor: transpose dimension");
    }
    Tensor view = *this;
    std::swap(view.shape_[size_t(first)], view.shape_[size_t(second)]);
    std::swap(view.strides_[size_t(first)], view.strides_[size_t(second)]);
    return view;
}

Tensor Tensor::narrowedLast(int64_t length) const {
    if (shape_.empty() || length < 0 || length > shape_.back()) {
        throw std::out_of_range("Tensor: narrow length");
    }
    Tensor view = *this;
    view.shape_.back() = length;
    return view;
}

}  // namespace corvaline
