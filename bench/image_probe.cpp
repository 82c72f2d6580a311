// image_probe IMAGE...
//
// Probes each image as the window does (platform::ProbeImageContent) and
// prints, for each, a line "seconds<TAB>summary<TAB>flag sentence", for
// bench/image_probe_bench.sh.

#include <atomic>
#include <chrono>
#include <cstdio>

#include "platform/files/ImageContent.h"
#include "window/ImageSummary.h"

int main(int argc, char** argv) {
    const std::atomic<bool> cancel{false};
    for (int i = 1; i < argc; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const platform::ImageContent content = platform::ProbeImageContent(argv[i], cancel);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%.3f\t%s\t%s\n", took.count(), qPrintable(ImageSummaryText(content)),
                    qPrintable(FlagSentence(content)));
    }
    return 0;
}
