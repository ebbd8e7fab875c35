// Layer parameters: the kinds (engine/layer_kinds.h), their named integer parameters and the
// enumerations those take; learning algorithms and their named numeric parameters.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/layer_kinds.h"
#include "hw/arith.h"

namespace nuvra {

// Padding of a convolution's input, as in Keras.
enum class Padding : int32_t {
    Valid = 0,      // no padding
    Same = 1,       // output size = input size / stride, extra padding bottom right
    SameUpper = 2,  // output size = input size / stride, extra padding top left
};

enum class PoolType : int32_t {
    NoPooling = 0,
    Max = 1,
    Average = 2,
};

enum class ActivationType : int32_t {
    NoActivation = 0,
    ReLU = 1,
    LUT = 2,  // activation through a look-up table
};

// Learning algorithm of a model's last layer.
enum class LearningType : int32_t {
    NuvraUnsupervised = 0,
};

// The named integer parameters of one layer (kernel sizes, strides, filters, ...).
class LayerParams {
public:
    virtual ~LayerParams() = default;

    // A new parameter set; never null. An unknown layer type is std::invalid_argument.
    static std::unique_ptr<LayerParams> create(LayerType type, std::map<std::string, int> const& entries);
    // An independent copy of `params`; null is std::invalid_argument.
    static std::unique_ptr<LayerParams> clone(LayerParams const* params);

    // The value of `key`; a key not held is std::invalid_argument "Key <key> not found".
    virtual int32_t get(std::string const& key) const = 0;
    // The value of `key` as T (a bit width as uint8_t): a key not held is refused as by get, a
    // value outside T's range is std::invalid_argument "<key>: <value> does not fit in [<low>, <high>].",
    // never read as its low bits.
    template <class T>
    T get_as(std::string const& key) const {
        return narrow<T, std::invalid_argument>(get(key), key.c_str());
    }
    virtual bool has(std::string const& key) const = 0;
    // The names held, in ascending order.
    virtual std::vector<std::string> keys() const = 0;
    virtual LayerType layer_type() const = 0;
};

// The named numeric parameters of a learning algorithm ("num_weights", "num_classes", ...).
class LearningParams {
public:
    virtual ~LearningParams() = default;

    // A new parameter set; never null. An unknown learning type is std::invalid_argument.
    static std::shared_ptr<LearningParams> create(LearningType type, std::map<std::string, double> const& entries);
    // An independent copy of `params`; null is std::invalid_argument.
    static std::shared_ptr<LearningParams> clone(LearningParams const* params);

    // The value of `key`; a key not held is std::invalid_argument "Key <key> not found".
    virtual double get(std::string const& key) const = 0;
    // The names held, in ascending order.
    virtual std::vector<std::string> keys() const = 0;
    virtual LearningType learning_type() const = 0;
};

}  // namespace nuvra
