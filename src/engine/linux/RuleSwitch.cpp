#include "engine/linux/RuleSwitch.h"

#include "guard_events.h"

#include <algorithm>
#include <bpf/bpf.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>

namespace kt {
namespace {

std::string ErrorText(int error) {
    return std::strerror(error);
}

kt_rule_key KeyOf(const GuardRuleEdit& edit) {
    kt_rule_key key{};
    switch (edit.kind) {
    case GuardRuleEdit::Kind::AllowedAddress:
        key.kind = KT_RULE_ALLOWED_ADDRESS;
        std::memcpy(key.value, edit.address.data(), sizeof key.value);
        break;
    case GuardRuleEdit::Kind::BlockedLocalPort:
    case GuardRuleEdit::Kind::BlockedRemotePort:
        key.kind = edit.kind == GuardRuleEdit::Kind::BlockedLocalPort ? KT_RULE_LOCAL_PORT
                                                                      : KT_RULE_REMOTE_PORT;
        std::memcpy(key.value, &edit.port, sizeof edit.port);
        break;
    }
    return key;
}

std::string EntryText(const GuardRuleEdit& edit) {
    switch (edit.kind) {
    case GuardRuleEdit::Kind::AllowedAddress:
        return "an allowed address";
    case GuardRuleEdit::Kind::BlockedLocalPort:
        return "a blocked local port";
    case GuardRuleEdit::Kind::BlockedRemotePort:
        break;
    }
    return "a blocked remote port";
}

// Room for edits in place beyond the set, so that a map is rebuilt only once they have grown it
// by a quarter.
size_t CapacityFor(size_t entries) {
    return std::max<size_t>(1024, entries + entries / 4 + 256);
}

constexpr size_t kBatch = 65536; // keys per update call while a map is filled
// Past this many changed entries the guard's thread takes a copy of the set rather than the
// edits: a copy costs this thread, the edits would cost the thread that cuts.
constexpr size_t kEditsHandedOver = 4096;

GuardRuleEdit Inverse(GuardRuleEdit edit) {
    edit.add = !edit.add;
    return edit;
}

} // namespace

RuleSwitch::RuleSwitch(int slots, uint32_t* version, std::function<void(InForce&&)> onInForce)
    : slots_(slots), version_(version), onInForce_(std::move(onInForce)) {}

RuleSwitch::~RuleSwitch() {
    {
        const std::lock_guard lock(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool RuleSwitch::Install(const GuardRules& rules, std::string& whyNot) {
    set_ = GuardJudge(rules);
    const int error = SwitchWhole();
    if (error != 0) {
        whyNot = "the kernel could not take the rules (" + std::to_string(set_.Size()) +
                 " entries): " + ErrorText(error);
    }
    return error == 0;
}

void RuleSwitch::Start() {
    thread_ = std::thread(&RuleSwitch::Run, this);
}

void RuleSwitch::Replace(GuardRules rules) {
    {
        const std::lock_guard lock(lock_);
        // Whatever was queued before is replaced with the rest.
        queue_.clear();
        queue_.push_back({std::move(rules), {}});
    }
    wake_.notify_all();
}

void RuleSwitch::Edit(std::span<const GuardRuleEdit> edits) {
    if (edits.empty()) {
        return;
    }
    {
        const std::lock_guard lock(lock_);
        queue_.push_back({std::nullopt, {edits.begin(), edits.end()}});
    }
    wake_.notify_all();
}

bool RuleSwitch::TakeRefusal(std::string& why) {
    const std::lock_guard lock(lock_);
    if (refusals_.empty()) {
        return false;
    }
    why = std::move(refusals_.front());
    refusals_.pop_front();
    return true;
}

bool RuleSwitch::Settle(std::chrono::milliseconds bound) const {
    std::unique_lock lock(lock_);
    return settled_.wait_for(lock, bound, [&] { return queue_.empty() && !busy_; });
}

RuleSwitch::Counts RuleSwitch::Count() const {
    const std::lock_guard lock(lock_);
    return counts_;
}

uint64_t RuleSwitch::MapBytes() const {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(map_.Get()));
    std::string field;
    uint64_t bytes = 0;
    while (info >> field) {
        if (field == "memlock:" && info >> bytes) {
            return bytes;
        }
    }
    return 0;
}

void RuleSwitch::Run() {
    std::unique_lock lock(lock_);
    while (true) {
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) {
            return;
        }
        std::vector<Request> requests = std::move(queue_);
        queue_.clear();
        busy_ = true;
        lock.unlock();
        Change(requests);
        lock.lock();
        busy_ = false;
        settled_.notify_all();
    }
}

void RuleSwitch::Change(std::vector<Request>& requests) {
    std::vector<GuardRuleEdit> changed;
    for (Request& request : requests) {
        const std::vector<GuardRuleEdit> edits =
            request.whole ? set_.EditsTo(GuardJudge(*request.whole)) : std::move(request.edits);
        for (const GuardRuleEdit& edit : edits) {
            if (set_.Apply(edit)) {
                changed.push_back(edit);
            }
        }
    }
    if (changed.empty()) {
        return;
    }
    int error = changed.size() == 1 ? EditInPlace(changed.front()) : E2BIG;
    const bool whole = error == E2BIG;
    if (whole) {
        error = SwitchWhole();
    }
    if (error != 0) {
        // The set in force stays, here as in the kernel.
        for (auto edit = changed.rbegin(); edit != changed.rend(); ++edit) {
            set_.Apply(Inverse(*edit));
        }
        Refuse(changed.size() == 1 ? "the kernel could not " +
                                         std::string(changed.front().add ? "add " : "delete ") +
                                         EntryText(changed.front()) + ": " + ErrorText(error)
                                   : "the kernel could not take the rules (" +
                                         std::to_string(set_.Size() + changed.size()) +
                                         " entries): " + ErrorText(error));
        return;
    }
    InForce news;
    news.mayBlock = std::any_of(changed.begin(), changed.end(), GuardJudge::MayBlock);
    if (changed.size() > kEditsHandedOver) {
        news.whole = set_;
    } else {
        news.edits = std::move(changed);
    }
    onInForce_(std::move(news));
}

int RuleSwitch::EditInPlace(const GuardRuleEdit& edit) {
    const kt_rule_key key = KeyOf(edit);
    const uint8_t on = 1;
    const int result = edit.add ? bpf_map_update_elem(map_.Get(), &key, &on, BPF_ANY)
                                : bpf_map_delete_elem(map_.Get(), &key);
    if (result != 0 && !(errno == ENOENT && !edit.add)) {
        return errno;
    }
    // Every socket's kept judgement is stale from here on: judged again on its next packet.
    __atomic_store_n(version_, __atomic_load_n(version_, __ATOMIC_RELAXED) + 1, __ATOMIC_RELEASE);
    const std::lock_guard lock(lock_);
    ++counts_.inPlace;
    counts_.entries = set_.Size();
    return 0;
}

int RuleSwitch::SwitchWhole() {
    const auto started = std::chrono::steady_clock::now();
    const size_t capacity = CapacityFor(set_.Size());
    if (capacity > std::numeric_limits<uint32_t>::max()) {
        return E2BIG;
    }
    LIBBPF_OPTS(bpf_map_create_opts, options, .map_flags = BPF_F_NO_PREALLOC);
    UniqueFd map(bpf_map_create(BPF_MAP_TYPE_HASH, "kt_rule_set", sizeof(kt_rule_key), 1,
                                static_cast<uint32_t>(capacity), &options));
    if (!map.Valid()) {
        map.Release(); // a negative error, not a descriptor
        return errno;
    }
    std::vector<kt_rule_key> keys;
    keys.reserve(std::min(kBatch, set_.Size()));
    const std::vector<uint8_t> values(kBatch, 1);
    int error = 0;
    const auto flush = [&] {
        uint32_t count = static_cast<uint32_t>(keys.size());
        if (error == 0 && count > 0 &&
            bpf_map_update_batch(map.Get(), keys.data(), values.data(), &count, nullptr) != 0) {
            error = errno;
        }
        keys.clear();
    };
    set_.ForEachEntry([&](const GuardRuleEdit& entry) {
        keys.push_back(KeyOf(entry));
        if (keys.size() == kBatch) {
            flush();
        }
    });
    flush();
    if (error != 0) {
        return error;
    }
    const auto updating = std::chrono::steady_clock::now();
    const uint32_t slot = 0;
    const int fd = map.Get();
    if (bpf_map_update_elem(slots_, &slot, &fd, BPF_ANY) != 0) {
        return errno;
    }
    // The update returned after a grace period: no program reads the old set any more, and one
    // that reads this version reads the new one.
    __atomic_store_n(version_, __atomic_load_n(version_, __ATOMIC_RELAXED) + 1, __ATOMIC_RELEASE);
    const auto done = std::chrono::steady_clock::now();
    map_ = std::move(map);
    capacity_ = capacity;
    const std::lock_guard lock(lock_);
    ++counts_.switches;
    counts_.lastSwitch = done - started;
    counts_.lastSlotUpdate = done - updating;
    counts_.entries = set_.Size();
    counts_.capacity = capacity;
    return 0;
}

void RuleSwitch::Refuse(std::string why) {
    const std::lock_guard lock(lock_);
    ++counts_.refused;
    constexpr size_t kKept = 16; // nobody asking: the oldest go
    if (refusals_.size() == kKept) {
        refusals_.pop_front();
    }
    refusals_.push_back(std::move(why));
}

} // namespace kt
