// ferrun's progress line: see progress.h.
#include "client/progress.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "platform/charset.h"
#include "platform/system.h"

namespace zel::client {
namespace {

// A line of locale text cut into its characters (UTF-8 sequences kept
// whole), so that a name is shortened and measured by what the terminal
// shows, not by bytes.
std::vector<std::string_view> Characters(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t len = 1;
        while (at + len < text.size() &&
               (static_cast<unsigned char>(text[at + len]) & 0xC0) == 0x80)
            ++len;
        out.push_back(text.substr(at, len));
        at += len;
    }
    return out;
}

std::size_t Columns(std::string_view text) {
    return Characters(text).size();
}

// The first n characters of text.
std::string Leading(std::string_view text, std::size_t n) {
    std::string out;
    const auto chars = Characters(text);
    for (std::size_t i = 0; i < n && i < chars.size(); ++i) out += chars[i];
    return out;
}

// name shortened to width characters by dropping its middle ("...").
std::string Shortened(std::string_view name, std::size_t width) {
    const auto chars = Characters(name);
    if (chars.size() <= width) return std::string(name);
    const std::size_t keep = width - 3;
    const std::size_t head = (keep + 1) / 2;
    const std::size_t tail = keep - head;
    std::string out;
    for (std::size_t i = 0; i < head; ++i) out += chars[i];
    out += "...";
    for (std::size_t i = chars.size() - tail; i < chars.size(); ++i) out += chars[i];
    return out;
}

void WriteToStandardError(std::string_view text) {
    // The console's own text (standard output, perhaps the same terminal)
    // goes first.
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

std::string FormatBytes(std::int64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes < 0 ? 0 : bytes) + " B";
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string FormatProgressLine(std::string_view name, std::int64_t bytes, std::int64_t total,
                               double elapsed_seconds, double idle_seconds, bool finished,
                               int columns) {
    std::string figures = FormatBytes(bytes) + "/" + (total >= 0 ? FormatBytes(total) : "?");
    const double rate = elapsed_seconds > 0 ? static_cast<double>(bytes) / elapsed_seconds : 0;
    figures += "  " + FormatBytes(static_cast<std::int64_t>(rate)) + "/s";
    char tail[48];
    if (finished) {
        std::snprintf(tail, sizeof tail, "  in %.1fs", elapsed_seconds);
    } else {
        std::snprintf(tail, sizeof tail, "  idle %llds", static_cast<long long>(idle_seconds));
    }
    figures += tail;

    // One character short of the width: a line that fills the last column
    // makes some terminals wrap before the "\r" of the next drawing.
    const std::size_t limit =
        static_cast<std::size_t>((columns > 0 ? columns : ProgressLine::kDefaultColumns) - 1);
    const std::size_t room = limit > figures.size() + 2 ? limit - figures.size() - 2 : 0;
    // The name gives way first, down to a few characters; below that the
    // line is cut at the width.
    constexpr std::size_t kShortestName = 8;
    if (Columns(name) <= room) return std::string(name) + "  " + figures;
    if (room >= kShortestName) return Shortened(name, room) + "  " + figures;
    return Leading(std::string(name) + "  " + figures, limit);
}

std::string TerminalSafeName(const char16_t* name, std::size_t units) {
    std::u16string safe(name != nullptr ? name : u"", name != nullptr ? units : 0);
    for (char16_t& c : safe) {
        // C0 and C1 controls and DEL: escape sequences begin with them.
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) c = u'?';
    }
    char* text = nullptr;
    std::size_t bytes = 0;
    if (zel::charset::Utf16ToLocale(safe.data(), safe.size(), &text, &bytes) == 0) {
        std::string out(text, bytes);
        std::free(text);
        return out;
    }
    std::string out;
    for (char16_t c : safe) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// ---- ProgressLine ------------------------------------------------------------

ProgressLine::ProgressLine(Writer write, bool open_line)
    : write_(std::move(write)), open_line_(open_line) {}

void ProgressLine::Update(std::string_view name, std::int64_t bytes, std::int64_t total,
                          bool finished, Clock::time_point now, int columns) {
    if (!file_.active || file_.name != name) {
        file_.name = std::string(name);
        file_.started = file_.last_data = now;
        file_.bytes = bytes;
        file_.active = true;
    } else if (bytes > file_.bytes) {
        file_.bytes = bytes;
        file_.last_data = now;
    }
    if (finished) file_.active = false;
    // The end of a file is always shown; in between, a few drawings a
    // second are all a person can read.
    if (!finished && drawn_any_ && now - last_draw_ < kRedrawInterval) return;
    const std::chrono::duration<double> elapsed = now - file_.started;
    const std::chrono::duration<double> idle = now - file_.last_data;
    Draw(FormatProgressLine(file_.name, file_.bytes, total, elapsed.count(), idle.count(), finished,
                            columns),
         finished);
    last_draw_ = now;
}

void ProgressLine::Draw(const std::string& text, bool finish) {
    std::string out;
    if (!drawn_any_ && open_line_) out += '\n';
    drawn_any_ = true;
    out += '\r';
    out += text;
    // What a longer earlier drawing left on the line is blanked.
    const std::size_t shown = Columns(text);
    if (shown < shown_columns_) out.append(shown_columns_ - shown, ' ');
    if (finish) {
        out += '\n';
        shown_columns_ = 0;
    } else {
        shown_columns_ = shown;
    }
    write_(out);
}

void ProgressLine::Close() {
    if (shown_columns_ == 0) return;
    std::string out = "\r";
    out.append(shown_columns_, ' ');
    out += '\r';
    shown_columns_ = 0;
    write_(out);
}

// ---- The event sink ------------------------------------------------------------

// The sink advised on the component's connection point: each Progress event
// goes to the line.  Reference-counted on the heap, because the component
// holds it until it is unadvised; Detach cuts it from the line first, so a
// reference the component kept longer reaches nothing.
class ProgressSink final : public IPollEvents {
  public:
    explicit ProgressSink(ProgressLine* line) : line_(line) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != DIID__IPollEvents)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IPollEvents*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (id != DISPID__IPollEvents_Progress || (flags & DISPATCH_METHOD) == 0)
            return DISP_E_MEMBERNOTFOUND;
        PollProgress progress;
        const HRESULT hr = ReadPollProgress(params, &progress);
        if (FAILED(hr)) return hr;
        if (result != nullptr) VariantInit(result);
        if (line_ == nullptr) return S_OK;
        try {
            line_->Update(TerminalSafeName(progress.file_name, SysStringLen(progress.file_name)),
                          progress.bytes, progress.total, progress.finished,
                          ProgressLine::Clock::now(),
                          zel::sys::TerminalColumns(zel::sys::StandardStream::kError));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;  // this drawing is lost, the transfer goes on
        }
        return S_OK;
    }

    void Detach() { line_ = nullptr; }

  private:
    ~ProgressSink() = default;

    std::atomic<ULONG> refs_{1};  // the creator's
    ProgressLine* line_;          // borrowed; null once detached
};

// ---- ProgressDisplay ---------------------------------------------------------

ProgressDisplay::ProgressDisplay(IPoll* poll, bool open_line)
    : line_(WriteToStandardError, open_line) {
    zel::com::ComPtr<IConnectionPointContainer> container;
    if (FAILED(poll->QueryInterface(IID_IConnectionPointContainer, container.OutVoid()))) return;
    if (FAILED(container->FindConnectionPoint(DIID__IPollEvents, point_.Out()))) return;
    sink_ = new (std::nothrow) ProgressSink(&line_);
    if (sink_ != nullptr && SUCCEEDED(point_->Advise(sink_, &cookie_))) return;
    if (sink_ != nullptr) sink_->Release();
    sink_ = nullptr;
    point_.Reset();
}

ProgressDisplay::~ProgressDisplay() {
    if (sink_ != nullptr) {
        (void)point_->Unadvise(cookie_);
        sink_->Detach();
        sink_->Release();
    }
    line_.Close();
}

}  // namespace zel::client
