// A mapped run of layers as the engine sees it: its passes, where it runs, its program bytes and
// its name; and the sequences that can run samples themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "hw/types.h"

namespace nuvra {

class Sequence {
public:
    // The layers that the device holds programmed at one time.
    class Pass {
    public:
        virtual ~Pass() = default;

        // The layers of the pass, in the order they were given.
        std::vector<std::shared_ptr<Layer>> layers;
    };

    // The two buffers of a program, each with its own leading 32-bit length; both views point
    // into the sequence's own bytes.
    struct ProgramParts {
        std::span<const uint8_t> program_info;
        std::span<const uint8_t> program_data;
    };

    virtual ~Sequence() = default;

    virtual std::vector<std::shared_ptr<Pass>> const& passes() const = 0;
    virtual BackendType backend() const = 0;
    // The whole program; an empty view (null data) when the sequence has none.
    virtual std::span<const uint8_t> program() const = 0;
    virtual ProgramParts program_parts() const = 0;
    virtual std::string name() const = 0;

protected:
    Sequence() = default;
    Sequence(Sequence const&) = default;
    Sequence& operator=(Sequence const&) = default;
};

// A sequence that runs samples on its own back end.
class ForwardableSequence : public Sequence {
public:
    // Runs the inputs; with labels (not null) the samples also train the learning layer. The
    // outputs come back in input order.
    virtual std::vector<std::shared_ptr<Tensor>> forward_samples(
        std::vector<std::shared_ptr<const Tensor>> const& inputs, std::vector<int> const* labels) = 0;
};

}  // namespace nuvra
