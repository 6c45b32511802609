// Drawing the progress line in place.
#include "tools/kestrix-capture/ProgressLine.h"

#include <unistd.h>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

}  // namespace

ProgressLine::ProgressLine(std::FILE* stream)
    : m_stream(::isatty(::fileno(stream)) ? stream : nullptr) {}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::Update(std::uint64_t frames, double fps, std::uint64_t dropped) {
    if (m_stream == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (m_bShown && now - m_lastDrawn < kRedrawInterval) return;
    std::fprintf(m_stream, "\rrecording: %llu frames  %.2f fps  %llu dropped\033[K",
                 static_cast<unsigned long long>(frames), fps,
                 static_cast<unsigned long long>(dropped));
    std::fflush(m_stream);
    m_bShown = true;
    m_lastDrawn = now;
}

void ProgressLine::Clear() {
    if (m_stream == nullptr || !m_bShown) return;
    std::fputs("\r\033[K", m_stream);
    std::fflush(m_stream);
    m_bShown = false;
}
