#include "crashreport/stack/stack_tracer.h"

#include <algorithm>
#include <exception>

#include "crashreport/codec/zip.h"
#include "crashreport/disasm/decoder.h"
#include "crashreport/os/crash_signals.h"
#include "crashreport/os/map_file.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/source_lines.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

constexpr int kAddressDigits = 16;

// A routine inlined at a frame's place: where it was called from, in the
// routine around it, shown on a line of its own below the frame.
struct InlineCaller {
    std::string unit_name;
    std::string routine_name;
    int line = 0;
};

struct Frame {
    std::uintptr_t address = 0;  // as found: the exact address or a return address
    bool top = false;            // where the thread is (or the creator): always shown
    bool exact = false;          // not a return address: no call stands before it
    bool creator = false;
    std::uintptr_t final_address = 0;
    std::uintptr_t routine_start = 0;
    std::uintptr_t module_bias = 0;  // what the image's addresses are shifted by in this run
    std::string module_name = "???";
    // Where the address is: in an inlined routine, that routine and its
    // line (in a header or template, as the case may be).
    std::string unit_name;
    std::string routine_name;
    int line = 0;
    int relative_line = 0;
    bool relative_known = false;
    // The routines the innermost one was inlined into, out to the real one.
    std::vector<InlineCaller> inline_callers;
    // The real routine (the one the symbol table and the offset belong to),
    // which the check values name.
    std::string real_unit_name;
    std::string real_routine_name;
};

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Thrown when the caller asked the trace to stop.
struct Aborted {};

template <class T, class Key>
bool FoldRepeats(std::vector<T>& items, std::size_t first, std::size_t last, Key key) {
    bool removed_any = false;
    for (bool changed = true; changed;) {
        changed = false;
        const std::size_t n = last - first;
        for (std::size_t length = 1; length <= n / 2 && !changed; ++length) {
            for (std::size_t i = first; i + 2 * length <= last && !changed; ++i) {
                bool same = true;
                for (std::size_t k = 0; k < length && same; ++k) same = key(items[i + k]) == key(items[i + length + k]);
                if (!same) continue;
                items.erase(items.begin() + static_cast<std::ptrdiff_t>(i),
                            items.begin() + static_cast<std::ptrdiff_t>(i + length));
                last -= length;
                changed = removed_any = true;
            }
        }
    }
    return removed_any;
}

// The call instruction that ends at `return_address`, found by decoding the
// bytes before it; 0 when none does.
std::uintptr_t CallBefore(std::uintptr_t return_address) {
    for (std::uintptr_t back = 15; back >= 2; --back) {
        TInstructionInfo info;
        if (return_address < back) continue;
        if (DecodeInstruction(return_address - back, info) && info.is_call && info.next == return_address)
            return return_address - back;
    }
    return 0;
}

void Describe(Frame& frame) {
    // A return address belongs to the call before it, which may be the last
    // instruction of its routine.
    const std::uintptr_t lookup = frame.exact ? frame.address : frame.address - 1;
    frame.final_address = frame.address;
    if (!frame.exact) {
        const std::uintptr_t call = CallBefore(frame.address);
        if (call != 0) frame.final_address = call;
    }
    ModuleInfo module;
    if (FindModuleOfAddr(lookup, module)) {
        frame.module_name = module.file_name;
        frame.module_bias = module.load_bias;
    }
    const std::shared_ptr<TMapFile> map = MapFileForAddr(lookup);
    if (map->valid()) {
        const TMfPublic routine = map->FindPublic(lookup);
        if (routine.valid && (routine.size == 0 || lookup < routine.address + routine.size)) {
            frame.routine_name = routine.name;
            frame.routine_start = routine.address;
        }
        frame.unit_name = map->SegmentAt(true, lookup).unit;
    }
    if (frame.routine_name.empty()) {
        std::string name;
        std::uintptr_t start = 0;
        if (NearestExport(lookup, name, start) && start <= lookup) {
            frame.routine_name = ShortRoutineName(name);
            frame.routine_start = start;
        }
    }
    frame.real_unit_name = frame.unit_name;
    frame.real_routine_name = frame.routine_name;
    // Lines and routines as the debug information has them at the address,
    // inlined routines included.
    const std::vector<SourceLocation> places = SourceLocationsOf(lookup);
    if (places.empty()) return;
    auto unit_of = [&](const SourceLocation& place) {
        return place.file.empty() ? frame.real_unit_name : BaseName(place.file);
    };
    frame.unit_name = unit_of(places.front());
    frame.line = places.front().line;
    if (!places.front().function.empty()) frame.routine_name = ShortRoutineName(places.front().function);
    for (std::size_t i = 1; i < places.size(); ++i)
        frame.inline_callers.push_back(
            {unit_of(places[i]), places[i].function.empty() ? std::string() : ShortRoutineName(places[i].function),
             places[i].line});
    // The line a routine starts at, for the relative line: only where the
    // address is in the real routine itself.
    if (frame.line > 0 && frame.routine_start != 0 && frame.inline_callers.empty()) {
        const std::vector<SourceLocation> start = SourceLocationsOf(frame.routine_start);
        if (!start.empty() && start.back().line > 0 && BaseName(start.back().file) == frame.unit_name) {
            frame.relative_line = frame.line - start.back().line;
            frame.relative_known = true;
        }
    }
}

std::string Hex(std::uintptr_t value) { return Int64ToHex(value); }

// The same in every run of the same program: an offset into the routine
// (or, without one, into the image) and the names, never an address that
// address-space randomisation moves.
std::uint32_t CheckValueOf(const Frame& frame) {
    const bool in_module = frame.module_name != "???";
    const bool named = frame.routine_start != 0 && in_module && !frame.real_routine_name.empty();
    std::uint32_t value = named       ? static_cast<std::uint32_t>(frame.final_address - frame.routine_start)
                          : in_module ? static_cast<std::uint32_t>(frame.final_address - frame.module_bias)
                                      : static_cast<std::uint32_t>(frame.final_address);
    if (named) {
        for (const std::string* part : {&frame.module_name, &frame.real_unit_name, &frame.real_routine_name}) {
            const std::string lower = LowerCopy(*part);
            value = Crc32Add(value, lower.data(), lower.size());
        }
    } else if (in_module) {
        const std::string lower = LowerCopy(frame.module_name);
        value = Crc32Add(value, lower.data(), lower.size());
    }
    return value;
}

void CheckAbort(const TraceStackOptions& options) {
    if (options.abort != nullptr && options.abort->load()) throw Aborted{};
}

}  // namespace

std::uintptr_t ChooseCreatorAddress(const TDAPreStackItem& creation_stack) {
    static const char* const kHelpers[] = {"pthread_create", "std::", "platform::WorkerThread::",
                                           "platform::StartThread", "crashreport::StartReporterThread"};
    for (const TPreStackItem& item : creation_stack) {
        ModuleInfo module;
        if (item.return_address <= 1 || !FindModuleOfAddr(item.return_address - 1, module)) continue;
        if (module.file_name.rfind("libc.so", 0) == 0 || module.file_name.rfind("libstdc++.so", 0) == 0) continue;
        Frame frame;
        frame.address = item.return_address;
        Describe(frame);
        bool helper = false;
        for (const char* prefix : kHelpers) helper = helper || frame.real_routine_name.rfind(prefix, 0) == 0;
        if (!helper) return frame.final_address;
    }
    return 0;
}

bool RemoveRecursiveAreas(std::vector<std::uintptr_t>& addresses) {
    return FoldRepeats(addresses, 0, addresses.size(), [](std::uintptr_t a) { return a; });
}

std::string InternalErrorText(const std::string& stage, std::uintptr_t failure_address) {
    std::string text = ">> internal error in " + stage;
    if (failure_address != 0) text += ":\r\n" + AddrToLocationText(failure_address, false, false);
    return text;
}

std::string AddrToLocationText(std::uintptr_t address, bool show_relative_address, bool show_relative_line) {
    Frame frame;
    frame.address = address;
    frame.top = frame.exact = true;
    Describe(frame);
    std::string text = PadText(Hex(address), kAddressDigits, '0');
    if (frame.routine_name.empty() && frame.line == 0) {
        if (show_relative_address) text += " +0";
        return text + " ???";
    }
    if (show_relative_address) text += " +" + Hex(frame.routine_start != 0 ? address - frame.routine_start : 0);
    text += " " + frame.module_name + " " + frame.unit_name + " ";
    if (frame.line > 0) text += IntToText(frame.line) + " ";
    if (show_relative_line && frame.relative_known) text += "+" + IntToText(frame.relative_line) + " ";
    return text + frame.routine_name;
}

namespace {

// Innermost first: where the thread is, the return addresses from `first`
// on, and the place that created the thread.
std::vector<Frame> FramesOf(const TraceStackOptions& options, const TDAPreStackItem& stack, std::size_t first,
                            std::uintptr_t current, bool current_is_return_address) {
    std::vector<Frame> frames;
    if (!options.do_not_add_top_item && current != 0) {
        Frame top;
        top.address = current;
        top.top = true;
        top.exact = !current_is_return_address;
        frames.push_back(top);
    }
    for (std::size_t i = first; i < stack.size(); ++i) {
        const std::uintptr_t address = stack[i].return_address;
        if (address <= 7) continue;
        // A processor exception's own address may also stand on the
        // stack; it is already the top item.
        if (options.is_exception && address == current && i == first) continue;
        Frame frame;
        frame.address = address;
        frames.push_back(frame);
    }
    if (options.creator_address != 0) {
        Frame creator;
        creator.address = options.creator_address;
        creator.creator = creator.exact = true;
        frames.push_back(creator);
    }
    return frames;
}

// A recursion shows its cycle once; the top and the creator stay as they are.
void FoldRecursion(std::vector<Frame>& frames, const TraceStackOptions& options) {
    const std::size_t first_plain = frames.empty() || !frames.front().top ? 0 : 1;
    const std::size_t last_plain = frames.size() - (options.creator_address != 0 ? 1 : 0);
    if (last_plain > first_plain)
        FoldRepeats(frames, first_plain, last_plain, [](const Frame& f) { return f.address; });
}

// Names every frame through the debug information; the slow part, so it
// reports progress (25 to 650 thousandths) and can be stopped.
void DescribeFrames(std::vector<Frame>& frames, const TraceStackOptions& options) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ReporterHeartbeat();
        Describe(frames[i]);
        if (options.progress) options.progress(25 + static_cast<int>(625 * (i + 1) / frames.size()));
        CheckAbort(options);
    }
}

// The frames the report shows: the top, the creator and named routines
// (with a line, when asked), none twice in a row at one address.
std::vector<const Frame*> ShownFrames(const std::vector<Frame>& frames, const TraceStackOptions& options) {
    std::vector<const Frame*> shown;
    for (const Frame& frame : frames) {
        const bool wanted = frame.top || frame.creator ||
                            (!frame.routine_name.empty() && (frame.line > 0 || !options.hide_items_without_line));
        if (!wanted) continue;
        if (!shown.empty() && shown.back()->final_address == frame.final_address) continue;
        shown.push_back(&frame);
    }
    return shown;
}

// One row per frame, then one per routine inlined at its place.
struct Row {
    const Frame* frame;
    const InlineCaller* caller;  // null: the frame's own row
    const std::string& unit() const { return caller ? caller->unit_name : frame->unit_name; }
    const std::string& routine() const { return caller ? caller->routine_name : frame->routine_name; }
    int line() const { return caller ? caller->line : frame->line; }
    // From the routine's start; 0 when unknown.
    std::uintptr_t offset() const {
        return frame->routine_start != 0 && frame->routine_start <= frame->final_address
                   ? frame->final_address - frame->routine_start
                   : 0;
    }
};

std::vector<Row> RowsOf(const std::vector<const Frame*>& shown) {
    std::vector<Row> rows;
    for (const Frame* f : shown) {
        rows.push_back({f, nullptr});
        for (const InlineCaller& caller : f->inline_callers) rows.push_back({f, &caller});
    }
    return rows;
}

// The text columns of the rows and how wide each is, so that they line up.
class RowLayout {
public:
    RowLayout(const std::vector<Row>& rows, const TraceStackOptions& options) : options_(options) {
        for (const Row& r : rows) {
            const Frame* f = r.frame;
            module_width_ = std::max(module_width_, f->module_name.size());
            unit_width_ = std::max(unit_width_, r.unit().size());
            if (r.line() > 0) line_width_ = std::max(line_width_, IntToText(r.line()).size());
            relative_width_ = std::max(relative_width_, relative_text(r).size());
            if (const std::uintptr_t offset = r.offset()) {
                any_offset_ = true;
                offset_width_ = std::max(offset_width_, Hex(offset).size());
            }
        }
    }

    std::string line_of(const Row& r) const {
        const Frame& f = *r.frame;
        std::string line = PadText(Hex(f.final_address), kAddressDigits, '0');
        if (options_.show_relative_addresses && any_offset_)
            line += " +" + PadText(Hex(r.offset()), static_cast<int>(offset_width_), '0');
        line += " " + PadText(f.module_name, -static_cast<int>(module_width_ + 1), ' ');
        line += PadText(r.unit(), -static_cast<int>(unit_width_ + 1), ' ');
        const std::string line_text =
            options_.show_relative_lines && r.line() > 0 ? IntToText(r.line()) : std::string();
        if (options_.show_relative_lines) line += PadText(line_text, static_cast<int>(line_width_ + 1), ' ');
        line += PadText(relative_text(r), static_cast<int>(relative_width_ + 1), ' ');
        line += " " + r.routine();
        while (!line.empty() && line.back() == ' ') line.pop_back();
        return line;
    }

private:
    std::string relative_text(const Row& r) const {
        if (options_.show_relative_lines && r.line() > 0 && !r.caller && r.frame->relative_known)
            return "+" + IntToText(r.frame->relative_line);
        if (r.line() > 0) return IntToText(r.line());
        return {};
    }

    const TraceStackOptions& options_;
    std::size_t module_width_ = 0, unit_width_ = 0, line_width_ = 0, relative_width_ = 0, offset_width_ = 0;
    bool any_offset_ = false;
};

TStackItem ItemOf(const Row& r) {
    TStackItem item;
    item.address = r.frame->final_address;
    item.offset = r.offset();
    item.module_name = r.frame->module_name;
    item.unit_name = r.unit();
    item.line = r.line();
    item.relative_line = !r.caller && r.frame->relative_known ? r.frame->relative_line : 0;
    item.routine_name = r.routine();
    item.inlined_caller = r.caller != nullptr;
    return item;
}

// The text, the items and the two check values of the rows: the first
// value names the innermost frame, the second all of them in order.
void ComposeResult(const std::vector<Row>& rows, const TraceStackOptions& options, TraceStackResult& result) {
    const RowLayout layout(rows, options);
    std::vector<std::string> lines;
    std::size_t frame_index = 0;
    for (const Row& r : rows) {
        if (r.frame->creator && !r.caller && !options.creator_caption.empty()) lines.push_back(options.creator_caption);
        lines.push_back(layout.line_of(r));
        result.trace.push_back(ItemOf(r));
        if (r.line() > 0) result.any_line = true;
        if (r.caller) continue;
        const std::uint32_t value = CheckValueOf(*r.frame);
        if (frame_index++ == 0) {
            result.check_value1 = result.check_value2 = value;
        } else {
            result.check_value2 = Crc32Add(result.check_value2, &value, sizeof value);
        }
    }
    for (std::size_t i = 0; i < lines.size(); ++i) result.text += (i == 0 ? "" : "\r\n") + lines[i];
}

// The innermost shown frame with a routine, one with a line first.
void FindFirstRoutine(const std::vector<const Frame*>& shown, TraceStackResult& result) {
    for (bool with_line : {true, false})
        for (const Frame* f : shown)
            if (f->routine_start != 0 && (f->line > 0 || !with_line)) {
                result.first_address = f->final_address;
                result.first_routine_start = f->routine_start;
                return;
            }
}

}  // namespace

TraceStackResult TraceStack(const TraceStackOptions& options) {
    TraceStackResult result;
    const char* stage = "CollectPossibleStackItems";
    try {
        TDAPreStackItem collected;
        const TDAPreStackItem* stack = options.prepared_stack;
        std::uintptr_t current = options.current_address;
        std::size_t skip_first = 0;
        bool current_is_return_address = false;
        if (stack == nullptr) {
            // Without this function's own frame: the first address is where
            // our caller called us. (Taken here, in this frame, for that.)
            CollectStackItems(collected, 1);
            stack = &collected;
            if (current == 0 && !options.is_exception && !collected.empty()) {
                current = collected.front().return_address;
                current_is_return_address = true;
                skip_first = 1;
            }
        }
        std::vector<Frame> frames = FramesOf(options, *stack, skip_first, current, current_is_return_address);
        if (options.progress) options.progress(25);
        CheckAbort(options);

        stage = "RemoveRecursiveStackAreas";
        FoldRecursion(frames, options);
        CheckAbort(options);

        stage = "FillFinalOutput";
        DescribeFrames(frames, options);
        if (options.progress) options.progress(650);
        if (!frames.empty()) result.top_address = frames.front().final_address;

        stage = "ComposeResult";
        const std::vector<const Frame*> shown = ShownFrames(frames, options);
        ComposeResult(RowsOf(shown), options, result);
        FindFirstRoutine(shown, result);
        if (options.progress) options.progress(1000);
    } catch (const Aborted&) {
        return TraceStackResult{};
    } catch (...) {
        const std::uintptr_t current = options.current_address;
        TraceStackResult failed;
        failed.text = InternalErrorText(stage);
        if (options.is_exception && current != 0)
            failed.text += "\r\n>> original exception location: \r\n" + AddrToLocationText(current, false, false);
        return failed;
    }
    return result;
}

}  // namespace crashreport
