#include "crashreport/disasm/function_analysis.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "crashreport/os/map_file.h"
#include "crashreport/os/modules.h"

namespace crashreport {

namespace {

// Not to run away on a wild entry point.
constexpr std::size_t kMaxInstructions = 200000;

struct Decoded {
    TInstructionInfo info;
    bool ends_flow = false;
};

}  // namespace

const TCodeArea* TFunctionInfo::AreaAt(std::uintptr_t address) const {
    for (const TCodeArea& area : code_areas)
        if (address >= area.begin && address < area.end) return &area;
    return nullptr;
}

bool TFunctionInfo::IsInstructionStart(std::uintptr_t address) const {
    return std::binary_search(instruction_starts.begin(), instruction_starts.end(), address);
}

const TFarCall* TFunctionInfo::CallReturningTo(std::uintptr_t return_address) const {
    for (const TFarCall& call : far_calls)
        if (call.is_call && call.end == return_address) return &call;
    return nullptr;
}

bool IsNoReturnRoutineName(const std::string& name) {
    static const std::set<std::string> kNames = {
        "abort", "exit", "_exit", "_Exit", "quick_exit", "__cxa_throw", "__cxa_rethrow", "_Unwind_Resume",
        "__stack_chk_fail", "std::terminate", "__assert_fail", "__cxa_bad_cast", "__cxa_bad_typeid",
        "__cxa_call_unexpected", "pthread_exit", "longjmp", "siglongjmp", "__longjmp_chk", "__fortify_fail"};
    return kNames.count(name) != 0 || name.rfind("std::__throw_", 0) == 0;
}

std::uintptr_t FollowJumpStub(std::uintptr_t address, const MemoryMapSnapshot* snapshot) {
    std::uintptr_t at = address;
    for (int step = 0; step < 2; ++step) {
        TInstructionInfo info;
        if (!DecodeInstructionEx(at, nullptr, snapshot, info)) return address;
        if (info.id == X86_INS_ENDBR64) {
            at = info.next;
            continue;
        }
        if (info.is_jump && !info.conditional && !info.relative_target && info.target != 0) return info.target;
        return address;
    }
    return address;
}

std::string RoutineNameAt(std::uintptr_t address) {
    std::string name = ProcNameForAddr(address);
    if (name.empty()) name = ShortRoutineName(ExportNameOfAddr(address, true));
    return name;
}

namespace {

bool LeadsNowhere(std::uintptr_t target, const MemoryMapSnapshot* snapshot) {
    if (target == 0) return false;
    return IsNoReturnRoutineName(RoutineNameAt(FollowJumpStub(target, snapshot)));
}

// A compiler's jump table: "cmp idx, n; ja default; lea base, [rip + table];
// movsxd r, dword [base + idx*4]; add r, base; jmp r". Gives the table and
// its entry count.
bool FindCaseTable(const std::vector<const Decoded*>& run, std::uintptr_t& table, std::size_t& entries) {
    if (run.size() < 3) return false;
    const TInstructionInfo& jump = run[run.size() - 1]->info;
    const TInstructionInfo& add = run[run.size() - 2]->info;
    const TInstructionInfo& load = run[run.size() - 3]->info;
    if (jump.id != X86_INS_JMP || add.id != X86_INS_ADD || (load.id != X86_INS_MOVSXD && load.id != X86_INS_MOV))
        return false;
    // The table base is the register the add adds, loaded by a lea.
    std::uintptr_t base = 0;
    for (std::size_t i = run.size() - 3; i-- > 0 && run.size() - i < 16;) {
        const TInstructionInfo& candidate = run[i]->info;
        if (candidate.id == X86_INS_LEA && candidate.has_absolute_memory) {
            base = candidate.memory_address;
            break;
        }
    }
    if (base == 0) return false;
    // The bound comes from the last compare with a constant before the
    // conditional jump that guards the table.
    for (std::size_t i = run.size() - 3; i-- > 1;) {
        const TInstructionInfo& guard = run[i]->info;
        const TInstructionInfo& compare = run[i - 1]->info;
        if (!guard.conditional) continue;
        if (compare.id != X86_INS_CMP || !compare.has_immediate || compare.immediate < 0 || compare.immediate > 4096)
            return false;
        if (guard.id == X86_INS_JA) entries = static_cast<std::size_t>(compare.immediate) + 1;
        else if (guard.id == X86_INS_JAE) entries = static_cast<std::size_t>(compare.immediate);
        else return false;
        table = base;
        return entries > 0;
    }
    return false;
}

}  // namespace

namespace {

// Where a routine may lie: its symbol where that gives a size, else the
// code of its image, else the memory region holding it.
struct Extent {
    std::uintptr_t low = 0, high = 0;
    bool contains(std::uintptr_t address) const { return address >= low && address < high; }
};

Extent RoutineExtent(std::uintptr_t entry, const MemoryMapSnapshot* snapshot) {
    ModuleInfo module;
    std::shared_ptr<TMapFile> map = MapFileForAddr(entry);
    const TMfPublic routine = map->valid() ? map->FindPublic(entry) : TMfPublic{};
    if (routine.valid && routine.size != 0 && entry >= routine.address && entry < routine.address + routine.size)
        return {routine.address, routine.address + routine.size};
    if (FindModuleOfAddr(entry, module) && entry >= module.code_start && entry < module.code_end)
        return {module.code_start, module.code_end};
    MemoryMapSnapshot taken;
    const MemoryMapSnapshot* map_of_memory = snapshot;
    if (map_of_memory == nullptr) {
        taken = MemoryMapSnapshot::Take();
        map_of_memory = &taken;
    }
    if (const auto* range = map_of_memory->find(entry)) return {range->start, range->end};
    return {};
}

// Every path from the entry followed, breadth first: each instruction
// decoded once, the branches inside the routine and the entries of its jump
// tables followed, the calls and jumps that leave it and the branches whose
// targets are unknown noted in `info`.
class FlowWalk {
public:
    FlowWalk(std::uintptr_t entry, Extent extent, const MemoryMapSnapshot* snapshot, TFunctionInfo& info)
        : extent_(extent), snapshot_(snapshot), info_(info), labels_{entry} {
        work_.push_back({entry, TRegisterState{}});
    }

    void run() {
        drain();
        // Code that only a jump with an unknown target reaches lies in the
        // gaps between what was followed: each gap, from the lowest, is
        // decoded while it is near enough to the rest. A gap that holds no
        // valid code ends the walk, without it.
        while (info_.last_error_number == 0 && any_unresolved_jump()) {
            const std::uintptr_t gap = first_gap();
            if (gap == 0) break;
            const Saved saved = save();
            work_.push_back({gap, TRegisterState{}});
            drain();
            if (info_.last_error_number == 0) continue;
            restore(saved);
            break;
        }
    }

    const std::map<std::uintptr_t, Decoded>& decoded() const { return decoded_; }
    const std::set<std::uintptr_t>& labels() const { return labels_; }
    const std::map<std::uintptr_t, std::uintptr_t>& origins() const { return origins_; }
    const std::vector<TCodeArea>& tables() const { return tables_; }

private:
    // The gap must start at most this far below the routine's highest byte.
    static constexpr std::uintptr_t kGapReach = 1023;

    struct Saved {
        std::map<std::uintptr_t, Decoded> decoded;
        std::set<std::uintptr_t> labels;
        std::vector<TCodeArea> tables;
        std::map<std::uintptr_t, std::uintptr_t> origins;
        std::size_t far_calls = 0, unresolved = 0;
    };
    Saved save() const {
        return {decoded_, labels_, tables_, origins_, info_.far_calls.size(), info_.unresolved_branches.size()};
    }
    void restore(const Saved& saved) {
        decoded_ = saved.decoded;
        labels_ = saved.labels;
        tables_ = saved.tables;
        origins_ = saved.origins;
        info_.far_calls.resize(saved.far_calls);
        info_.unresolved_branches.resize(saved.unresolved);
        info_.last_error_address = 0;
        info_.last_error_number = 0;
        info_.last_error_text.clear();
        work_.clear();
    }

    void drain() {
        while (!work_.empty() && info_.last_error_number == 0) {
            auto [address, registers] = work_.front();
            work_.pop_front();
            follow(address, registers);
        }
    }

    bool any_unresolved_jump() const {
        for (const TUnresolvedBranch& branch : info_.unresolved_branches)
            if (!branch.is_call) return true;
        return false;
    }

    // The end of the run of contiguous code and tables that starts at the
    // lowest of them, when more follows above it (0 otherwise, or when the
    // gap is too far below the highest byte).
    std::uintptr_t first_gap() const {
        std::vector<std::pair<std::uintptr_t, std::uintptr_t>> pieces;
        for (const auto& [address, item] : decoded_) pieces.emplace_back(address, item.info.next);
        for (const TCodeArea& table : tables_) pieces.emplace_back(table.begin, table.end);
        if (pieces.empty()) return 0;
        std::sort(pieces.begin(), pieces.end());
        std::uintptr_t run_end = pieces.front().second, highest = 0;
        for (const auto& piece : pieces) highest = std::max(highest, piece.second);
        for (const auto& [begin, end] : pieces) {
            if (begin > run_end) break;
            run_end = std::max(run_end, end);
        }
        if (run_end >= highest || highest - 1 - run_end > kGapReach || !extent_.contains(run_end)) return 0;
        return run_end;
    }

    // One straight run from `address` until the flow ends, leaves the
    // routine or meets code decoded before.
    void follow(std::uintptr_t address, TRegisterState& registers) {
        std::vector<const Decoded*> run;
        while (decoded_.count(address) == 0) {
            if (decoded_.size() >= kMaxInstructions || !extent_.contains(address)) return;
            Decoded item;
            if (!DecodeInstructionEx(address, &registers, snapshot_, item.info)) {
                info_.last_error_address = address;
                info_.last_error_number = kInvalidCodeError;
                info_.last_error_text = kInvalidCodeText;
                work_.clear();
                return;
            }
            const bool unresolved = classify(item, registers);
            const Decoded& placed = decoded_.emplace(address, std::move(item)).first->second;
            run.push_back(&placed);
            if (unresolved) resolve(run, placed.info, registers);
            if (placed.ends_flow) return;
            address = placed.info.next;
        }
    }

    // Notes where the instruction leads and whether the flow ends there;
    // true for a branch whose target is not known.
    bool classify(Decoded& item, const TRegisterState& registers) {
        const TInstructionInfo& ins = item.info;
        if (ins.is_call) {
            info_.far_calls.push_back({true, ins.this_address, ins.next, ins.target, ins.relative_target,
                                       ins.target_location, ins.pointer_table_location});
            item.ends_flow = LeadsNowhere(ins.target, snapshot_);
            return ins.target == 0;
        }
        if (ins.is_jump) {
            item.ends_flow = !ins.conditional;
            if (ins.target == 0) return true;
            if (extent_.contains(ins.target)) {
                branch_to(ins.target, ins.this_address, registers);
            } else {
                info_.far_calls.push_back({false, ins.this_address, ins.next, ins.target, ins.relative_target,
                                           ins.target_location, ins.pointer_table_location});
            }
            return false;
        }
        item.ends_flow = ins.is_return || ins.id == X86_INS_HLT || ins.id == X86_INS_UD2;
        return false;
    }

    // A branch without a known target: a jump through a table of the
    // routine has its entries followed; anything else is noted unresolved.
    void resolve(const std::vector<const Decoded*>& run, const TInstructionInfo& ins, const TRegisterState& registers) {
        std::uintptr_t table = 0;
        std::size_t entries = 0;
        if (ins.is_call || !FindCaseTable(run, table, entries)) {
            info_.unresolved_branches.push_back({ins.is_call, ins.this_address, ins.next});
            return;
        }
        TCodeArea area;
        area.begin = table;
        area.end = table + entries * 4;
        area.is_case_table = true;
        area.origin = ins.this_address;
        tables_.push_back(area);
        for (std::size_t k = 0; k < entries; ++k) {
            std::int32_t offset = 0;
            if (!SafeReadMemory(reinterpret_cast<const void*>(table + 4 * k), &offset, 4, snapshot_)) break;
            const std::uintptr_t target = table + static_cast<std::intptr_t>(offset);
            if (extent_.contains(target)) branch_to(target, ins.this_address, registers);
        }
    }

    void branch_to(std::uintptr_t target, std::uintptr_t from, const TRegisterState& registers) {
        if (labels_.insert(target).second) origins_[target] = from;
        work_.push_back({target, registers});
    }

    Extent extent_;
    const MemoryMapSnapshot* snapshot_;
    TFunctionInfo& info_;
    std::map<std::uintptr_t, Decoded> decoded_;
    std::set<std::uintptr_t> labels_;
    std::vector<TCodeArea> tables_;
    std::deque<std::pair<std::uintptr_t, TRegisterState>> work_;
    std::map<std::uintptr_t, std::uintptr_t> origins_;
};

// Areas: runs of contiguous instructions, broken at labels and after
// instructions that end the flow; then the jump tables, all in address order.
void CollectAreas(const FlowWalk& walk, TFunctionInfo& info) {
    const Decoded* previous = nullptr;
    for (const auto& [address, item] : walk.decoded()) {
        info.instruction_starts.push_back(address);
        const bool starts_new = previous == nullptr || previous->info.next != address || previous->ends_flow ||
                                walk.labels().count(address) != 0;
        if (starts_new) {
            TCodeArea area;
            area.begin = address;
            auto origin = walk.origins().find(address);
            area.origin = origin == walk.origins().end() ? 0 : origin->second;
            info.code_areas.push_back(area);
        }
        info.code_areas.back().end = item.info.next;
        previous = &item;
    }
    if (!info.code_areas.empty()) {
        info.code_begin = info.code_areas.front().begin;
        info.code_length = info.code_areas.back().end - info.code_begin;
    }
    for (const TCodeArea& table : walk.tables()) info.code_areas.push_back(table);
    std::sort(info.code_areas.begin(), info.code_areas.end(),
              [](const TCodeArea& a, const TCodeArea& b) { return a.begin < b.begin; });
}

// A routine can be intercepted when its first contiguous stretch holds
// more than a 5-byte jump and none of the instructions there has a short
// target that moving them would break.
bool Interceptable(const FlowWalk& walk, std::uintptr_t entry) {
    std::uintptr_t run_end = entry;
    bool short_branch = false;
    for (auto it = walk.decoded().find(entry); it != walk.decoded().end() && it->first == run_end; ++it) {
        if (it->first != entry && walk.labels().count(it->first) != 0) break;
        if (it->first < entry + 6 && (it->second.info.is_call || it->second.info.is_jump) &&
            it->second.info.target_size < 4 && !it->second.info.redirectable)
            short_branch = true;
        run_end = it->second.info.next;
        if (it->second.ends_flow) break;
    }
    return run_end - entry > 5 && !short_branch;
}

}  // namespace

bool AnalyseFunction(std::uintptr_t entry, TFunctionInfo& info, const MemoryMapSnapshot* snapshot) {
    info = TFunctionInfo{};
    info.entry_point = entry;
    FlowWalk walk(entry, RoutineExtent(entry, snapshot), snapshot, info);
    walk.run();
    CollectAreas(walk, info);
    info.interceptable = Interceptable(walk, entry);
    info.copy_length = info.code_length + 4;
    for (const TFarCall& call : info.far_calls)
        if (call.target_location != 0) info.copy_length += 4;
    info.valid = info.last_error_number == 0 && !walk.decoded().empty();
    return info.valid;
}

bool AnalyseFunctionAt(std::uintptr_t entry, TFunctionInfo& info) { return AnalyseFunction(entry, info, nullptr); }

}  // namespace crashreport
