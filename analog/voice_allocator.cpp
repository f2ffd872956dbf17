#include "analog/voice_allocator.h"

#include <new>

VoiceAgeManagerBase::VoiceAgeManagerBase(int count, int capacity) {
    if (count <= 0 || capacity < count) return;  // an empty manager: every note-on answers -1
    nodes_.reset(new (std::nothrow) VoiceNode[capacity]);
    if (nodes_) capacity_ = capacity;
}

bool VoiceAgeManagerBase::reset_nodes(int count) {
    if (!nodes_ || count <= 0 || count > capacity_) return false;
    for (int i = 0; i < count; ++i) {
        VoiceNode& n = nodes_[i];
        n.voice = i;
        n.note = -1;
        n.held = 0;
        n.older = i > 0 ? &nodes_[i - 1] : nullptr;
        n.newer = i + 1 < count ? &nodes_[i + 1] : nullptr;
    }
    count_ = count;
    return true;
}

void VoiceAgeManagerBase::all_notes_off() {
    for (int i = 0; i < capacity_; ++i) nodes_[i].held = 0;
}

// ---- optimal: steal the oldest ----

OptimalVoiceAgeManager::OptimalVoiceAgeManager(int count, int capacity) : VoiceAgeManagerBase(count, capacity) {
    reset(count);
}

void OptimalVoiceAgeManager::reset(int count) {
    if (!reset_nodes(count)) return;
    oldest_ = &nodes_[0];  // node 0 is the oldest, so an idle keyboard fills voices in order
    newest_ = &nodes_[count - 1];
}

void OptimalVoiceAgeManager::touch(VoiceNode* node) {
    node->held = 1;
    if (node != newest_) {
        // Unlink, then append at the newest end.
        if (node->older) node->older->newer = node->newer;
        else oldest_ = node->newer;
        node->newer->older = node->older;
        node->older = newest_;
        node->newer = nullptr;
        newest_->newer = node;
        newest_ = node;
    }
    // A note owns one voice only: an older voice still carrying this note (the one a
    // re-strike left ringing) forgets it, so stealing it later unmaps nothing.
    for (VoiceNode* n = newest_->older; n; n = n->older) {
        if (n->note == node->note) {
            n->note = -1;
            n->held = 0;
        }
    }
}

VoiceNode* OptimalVoiceAgeManager::choose(int excluded) {
    for (VoiceNode* n = oldest_; n; n = n->newer)
        if (!n->held && n->voice != excluded) return n;
    if (!oldest_) return nullptr;
    if (oldest_->voice == excluded && oldest_->newer) return oldest_->newer;
    return oldest_;
}

// ---- note priority: steal by pitch ----

LowNotePriorityVoiceAgeManager::LowNotePriorityVoiceAgeManager(int count, int capacity)
    : VoiceAgeManagerBase(count, capacity) {
    reset(count);
}

HighNotePriorityVoiceAgeManager::HighNotePriorityVoiceAgeManager(int count, int capacity)
    : VoiceAgeManagerBase(count, capacity) {
    reset(count);
}

namespace {

// One scan in voice order: the best released node, else the best node overall; the
// first node found wins a tie, so ties go to the lowest voice number.
template <class Better>
VoiceNode* choose_by_note(VoiceNode* nodes, int count, Better better) {
    VoiceNode* released = nullptr;
    VoiceNode* any = nullptr;
    for (int i = 0; i < count; ++i) {
        VoiceNode* n = &nodes[i];
        if (!n->held && (!released || better(n->note, released->note))) released = n;
        if (!any || better(n->note, any->note)) any = n;
    }
    return released ? released : any;
}

} // namespace

VoiceNode* LowNotePriorityVoiceAgeManager::choose(int) {
    return choose_by_note(nodes_.get(), count_, [](int a, int b) { return a > b; });
}

VoiceNode* HighNotePriorityVoiceAgeManager::choose(int) {
    return choose_by_note(nodes_.get(), count_, [](int a, int b) { return a < b; });
}

std::unique_ptr<VoiceAllocator> make_voice_allocator(int policy, int count, int capacity) {
    switch (policy) {
    case kVoiceHighNotePriority:
        return std::unique_ptr<VoiceAllocator>(
            new (std::nothrow) t_VoiceAllocator<HighNotePriorityVoiceAgeManager>(count, capacity));
    case kVoiceLowNotePriority:
        return std::unique_ptr<VoiceAllocator>(
            new (std::nothrow) t_VoiceAllocator<LowNotePriorityVoiceAgeManager>(count, capacity));
    default:
        return std::unique_ptr<VoiceAllocator>(
            new (std::nothrow) t_VoiceAllocator<OptimalVoiceAgeManager>(count, capacity));
    }
}
