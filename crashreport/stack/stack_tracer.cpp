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

TraceStackResult TraceStack(const TraceStackOptions& options) {
    TraceStackResult result;
    const char* stage = "CollectPossibleStackItems";
    try {
        // Innermost first: where the thread is, the return addresses, and
        // the place that created the thread.
        std::vector<Frame> frames;
        TDAPreStackItem collected;
        const TDAPreStackItem* stack = options.prepared_stack;
        std::uintptr_t current = options.current_address;
        std::size_t skip_first = 0;
        bool current_is_return_address = false;
        if (stack == nullptr) {
            // Without this function's own frame: the first address is where
            // our caller called us.
            CollectStackItems(collected, 1);
            stack = &collected;
            if (current == 0 && !options.is_exception && !collected.empty()) {
                current = collected.front().return_address;
                current_is_return_address = true;
                skip_first = 1;
            }
        }
        if (!options.do_not_add_top_item && current != 0) {
            Frame top;
            top.address = current;
            top.top = true;
            top.exact = !current_is_return_address;
            frames.push_back(top);
        }
        for (std::size_t i = skip_first; i < stack->size(); ++i) {
            const std::uintptr_t address = (*stack)[i].return_address;
            if (address <= 7) continue;
            // A processor exception's own address may also stand on the
            // stack; it is already the top item.
            if (options.is_exception && address == current && i == skip_first) continue;
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
        if (options.progress) options.progress(25);
        CheckAbort(options);

        stage = "RemoveRecursiveStackAreas";
        const std::size_t first_plain = frames.empty() || !frames.front().top ? 0 : 1;
        const std::size_t last_plain = frames.size() - (options.creator_address != 0 ? 1 : 0);
        if (last_plain > first_plain)
            FoldRepeats(frames, first_plain, last_plain, [](const Frame& f) { return f.address; });
        CheckAbort(options);

        stage = "FillFinalOutput";
        for (std::size_t i = 0; i < frames.size(); ++i) {
            ReporterHeartbeat();
            Describe(frames[i]);
            if (options.progress) options.progress(25 + static_cast<int>(625 * (i + 1) / frames.size()));
            CheckAbort(options);
        }
        if (options.progress) options.progress(650);
        if (!frames.empty()) result.top_address = frames.front().final_address;

        stage = "ComposeResult";
        std::vector<const Frame*> shown;
        for (const Frame& frame : frames) {
            const bool wanted = frame.top || frame.creator ||
                                (!frame.routine_name.empty() && (frame.line > 0 || !options.hide_items_without_line));
            if (!wanted) continue;
            if (!shown.empty() && shown.back()->final_address == frame.final_address) continue;
            shown.push_back(&frame);
        }
        // One row per frame, then one per routine inlined at its place.
        struct Row {
            const Frame* frame;
            const InlineCaller* caller;  // null: the frame's own row
            const std::string& unit() const { return caller ? caller->unit_name : frame->unit_name; }
            const std::string& routine() const { return caller ? caller->routine_name : frame->routine_name; }
            int line() const { return caller ? caller->line : frame->line; }
        };
        std::vector<Row> rows;
        for (const Frame* f : shown) {
            rows.push_back({f, nullptr});
            for (const InlineCaller& caller : f->inline_callers) rows.push_back({f, &caller});
        }
        std::size_t module_width = 0, unit_width = 0, line_width = 0, relative_width = 0, offset_width = 0;
        bool any_offset = false;
        auto relative_text = [&](const Row& r) -> std::string {
            if (options.show_relative_lines && r.line() > 0 && !r.caller && r.frame->relative_known)
                return "+" + IntToText(r.frame->relative_line);
            if (r.line() > 0) return IntToText(r.line());
            return {};
        };
        for (const Row& r : rows) {
            const Frame* f = r.frame;
            module_width = std::max(module_width, f->module_name.size());
            unit_width = std::max(unit_width, r.unit().size());
            if (r.line() > 0) line_width = std::max(line_width, IntToText(r.line()).size());
            relative_width = std::max(relative_width, relative_text(r).size());
            if (f->routine_start != 0 && f->routine_start < f->final_address) {
                any_offset = true;
                offset_width = std::max(offset_width, Hex(f->final_address - f->routine_start).size());
            }
        }
        std::vector<std::string> lines;
        std::size_t frame_index = 0;
        for (const Row& r : rows) {
            const Frame& f = *r.frame;
            if (f.creator && !r.caller && !options.creator_caption.empty()) lines.push_back(options.creator_caption);
            std::string line = PadText(Hex(f.final_address), kAddressDigits, '0');
            const std::uintptr_t offset =
                f.routine_start != 0 && f.routine_start <= f.final_address ? f.final_address - f.routine_start : 0;
            if (options.show_relative_addresses && any_offset)
                line += " +" + PadText(Hex(offset), static_cast<int>(offset_width), '0');
            line += " " + PadText(f.module_name, -static_cast<int>(module_width + 1), ' ');
            line += PadText(r.unit(), -static_cast<int>(unit_width + 1), ' ');
            const std::string line_text =
                options.show_relative_lines && r.line() > 0 ? IntToText(r.line()) : std::string();
            if (options.show_relative_lines) line += PadText(line_text, static_cast<int>(line_width + 1), ' ');
            line += PadText(relative_text(r), static_cast<int>(relative_width + 1), ' ');
            line += " " + r.routine();
            while (!line.empty() && line.back() == ' ') line.pop_back();
            lines.push_back(line);

            TStackItem item;
            item.address = f.final_address;
            item.offset = offset;
            item.module_name = f.module_name;
            item.unit_name = r.unit();
            item.line = r.line();
            item.relative_line = !r.caller && f.relative_known ? f.relative_line : 0;
            item.routine_name = r.routine();
            item.inlined_caller = r.caller != nullptr;
            result.trace.push_back(item);
            if (r.line() > 0) result.any_line = true;
            if (r.caller) continue;

            const std::uint32_t value = CheckValueOf(f);
            if (frame_index++ == 0) {
                result.check_value1 = result.check_value2 = value;
            } else {
                result.check_value2 = Crc32Add(result.check_value2, &value, sizeof value);
            }
        }
        for (const Frame* f : shown) {
            if (f->routine_start != 0 && f->line > 0) {
                result.first_address = f->final_address;
                result.first_routine_start = f->routine_start;
                break;
            }
        }
        if (result.first_address == 0) {
            for (const Frame* f : shown) {
                if (f->routine_start != 0) {
                    result.first_address = f->final_address;
                    result.first_routine_start = f->routine_start;
                    break;
                }
            }
        }
        for (std::size_t i = 0; i < lines.size(); ++i) result.text += (i == 0 ? "" : "\r\n") + lines[i];
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
