// The split GUI queue on one thread: fan-out, copies, strings, muting, reports.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/modular.h"
#include "framework/kel_split_gui_queue.h"
#include "modules/parameter.h"

TEST(KelSplitGuiQueue, EveryReaderGetsItsOwnCopyInOrder) {
    KelSplitGuiQueueWriter writer;
    KelSplitGuiQueueReader r1, r2;
    r1.attach_to(&writer);
    r2.attach_to(&writer);
    writer.push_int(5, 600, 64);
    writer.push_float(6, 601, 12.5f);
    for (KelSplitGuiQueueReader* r : {&r1, &r2}) {
        t_message m;
        ASSERT_TRUE(r->pop(m));
        EXPECT_EQ(m.kind, kMessageInt);
        EXPECT_EQ(m.param_id, 5);
        EXPECT_EQ(m.module_id, 600);
        EXPECT_EQ(m.value.i, 64);
        ASSERT_TRUE(r->pop(m));
        EXPECT_EQ(m.kind, kMessageFloat);
        EXPECT_FLOAT_EQ(m.value.f, 12.5f);
        EXPECT_FALSE(r->pop(m));
    }
    EXPECT_EQ(writer.deliveries(), 0);
}

TEST(KelSplitGuiQueue, StringsAreCopiedPerReaderAndFreedByThePopper) {
    KelSplitGuiQueueWriter writer;
    KelSplitGuiQueueReader r1, r2;
    r1.attach_to(&writer);
    r2.attach_to(&writer);
    writer.push_string(10, 602, "take one.wav");
    t_message a, b;
    ASSERT_TRUE(r1.pop(a));
    ASSERT_TRUE(r2.pop(b));
    EXPECT_EQ(a.kind, kGuiMessageString);
    ASSERT_NE(a.value.s, nullptr);
    EXPECT_NE(a.value.s, b.value.s);  // no shared string: each popper frees its own
    EXPECT_EQ(*a.value.s, "take one.wav");
    EXPECT_EQ(*b.value.s, "take one.wav");
    kel_gui_message_release(a);
    kel_gui_message_release(b);
    EXPECT_EQ(a.value.s, nullptr);
    // Strings left in a reader's queue are freed with the reader (ASan would see a leak).
    writer.push_string(10, 602, "left behind");
}

TEST(KelSplitGuiQueue, MutedWriterDropsAndDetachedReaderHearsNothing) {
    KelSplitGuiQueueWriter writer;
    KelSplitGuiQueueReader r;
    r.attach_to(&writer);
    t_message m;
    writer.set_enabled(false);
    writer.push_int(1, 1, 1);
    EXPECT_FALSE(r.pop(m));
    writer.set_enabled(true);
    r.detach();
    EXPECT_EQ(writer.observer_count(), 0u);
    writer.push_int(1, 1, 2);
    EXPECT_FALSE(r.pop(m));
    EXPECT_EQ(writer.mutes(), 0);
}

TEST(KelSplitGuiQueue, ReaderOutlivingItsWriterForgetsIt) {
    KelSplitGuiQueueReader r;
    {
        KelSplitGuiQueueWriter writer;
        r.attach_to(&writer);
        writer.push_int(1, 1, 1);
    }
    EXPECT_EQ(r.writer(), nullptr);
    t_message m;
    EXPECT_TRUE(r.pop(m));  // what was delivered stays
}

TEST(KelSplitGuiQueue, FullReaderQueueDropsTheNewest) {
    KelSplitGuiQueueWriter writer;
    KelSplitGuiQueueReader r;
    r.attach_to(&writer);
    for (int i = 0; i < 10001; ++i) writer.push_int(1, 1, i);
    writer.push_string(2, 1, "dropped");  // dropped: its copy must be freed, not leaked
    t_message m;
    int n = 0, last = -1;
    while (r.pop(m)) {
        ++n;
        last = m.value.i;
    }
    EXPECT_EQ(n, 10000);
    EXPECT_EQ(last, 9999);
}

namespace {

struct Reporting : t_module {
    StringParameter file{10, "file", "a.wav"};
};

int reporting_get(t_module* m, int id, t_message* out) {
    if (id == 10) {
        out->kind = kMessageString;
        out->param_id = 10;
        out->module_id = m->id;
        out->value.s = const_cast<std::string*>(&static_cast<Reporting*>(m)->file.string());
        out->owns_string = 0;
        return 0;
    }
    if (id == 3) {
        *out = make_int_message(m->id, 3, 77);
        return 0;
    }
    return 1;
}

} // namespace

TEST(KelSplitGuiQueue, ReportsAskTheModuleAndCopyStrings) {
    std::unique_ptr<Reporting> mod(module_alloc<Reporting>(0, 0));
    mod->id = 610;
    mod->get_message = reporting_get;
    KelSplitGuiQueueWriter writer;
    KelSplitGuiQueueReader r;
    r.attach_to(&writer);
    EXPECT_TRUE(writer.push_report(mod.get(), 3));
    EXPECT_TRUE(writer.push_report(mod.get(), 10));
    EXPECT_FALSE(writer.push_report(mod.get(), 4));
    t_message m;
    ASSERT_TRUE(r.pop(m));
    EXPECT_EQ(m.value.i, 77);
    ASSERT_TRUE(r.pop(m));
    ASSERT_EQ(m.kind, kGuiMessageString);
    EXPECT_NE(m.value.s, &mod->file.string());
    EXPECT_EQ(*m.value.s, "a.wav");
    kel_gui_message_release(m);
    EXPECT_FALSE(r.pop(m));
}
