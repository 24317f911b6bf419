// A frame processor converting one random raw frame of one geometry into an output of its own:
// the conversion as the benchmarks measure it.
#pragma once

#include <memory>
#include <random>
#include <vector>

#include "imaging/frame_processor.h"

namespace bench {

inline std::vector<UCHAR> RandomFrame(ULONG width, ULONG height) {
    std::mt19937 random(42);
    std::vector<UCHAR> raw(width * height);
    for (UCHAR& sample : raw)
        sample = (UCHAR)random();
    return raw;
}

class Pipeline {
  public:
    Pipeline(ULONG width, ULONG height)
        : processor_(CreateFrameProcessor()),
          raw_(RandomFrame(width, height)),
          output_(width * height) {
        SetConversionGeometry(processor_.get(), width, height);
        AllocateWorkBuffer(processor_.get());
        processor_->conversion.output_buffer = output_.data();
    }
    ~Pipeline() { processor_->conversion.output_buffer = nullptr; }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    FrameProcessor* processor() { return processor_.get(); }
    const UCHAR* raw() const { return raw_.data(); }
    ULONG* output() { return output_.data(); }
    VOID Convert() { ConvertFrame(processor(), raw(), 0, processor_->conversion.conversion_width); }

  private:
    struct ProcessorDeleter {
        void operator()(FrameProcessor* processor) const { FreeFrameProcessor(processor); }
    };
    std::unique_ptr<FrameProcessor, ProcessorDeleter> processor_;
    std::vector<UCHAR> raw_;
    std::vector<ULONG> output_;
};

}  // namespace bench
