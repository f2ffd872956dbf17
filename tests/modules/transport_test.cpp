#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "engine/sync_input_port.h"
#include "modules/tempo_division.h"
#include "modules/transport.h"

namespace {

int64_t g_now_us = 0;
int64_t fake_now() { return g_now_us; }

struct Host : CSyncInputPort {
    bool is_usable = true;
    bool usable() const override { return is_usable; }
    void set(bool playing, float tempo) {
        current_.playing = playing;
        current_.tempo = tempo;
    }
};

struct Told : ModuleObserver {
    std::vector<int> ids;
    void told(t_module*, int id) override { ids.push_back(id); }
};

// Clock under a root with a sink, so each output has its own buffer.
struct Rig {
    wire_shop* shop = wire_shop_create(1024);
    t_module* root = module_create_composite("44100 1024 0 0 main_synth mo");
    t_module* clock = transport_create("44100 1024 Clock");
    t_module* sink = module_alloc<t_module>(3, 0);
    Told told;
    std::vector<float> out1, out2, out3;

    Rig(float rate = 44100) {
        module_add_child(root, clock);
        module_add_child(root, sink);
        for (int i = 1; i <= 3; ++i) module_connect(clock, i, sink, i);
        wire_shop_assign_buffers(shop, root);
        clock->set_sample_rate(clock, rate);
        module_set_persistence(clock, 1);
        clock->observer = &told;
        transport_set_timer(clock, fake_now);
    }
    ~Rig() {
        module_free(root);
        wire_shop_free(shop);
    }
    t_transport* t() { return static_cast<t_transport*>(clock); }
    void run(int frames, int block = 1000) {
        out1.clear(), out2.clear(), out3.clear();
        while (frames > 0) {
            const int n = frames < block ? frames : block;
            clock->process(clock, n);
            for (int i = 0; i < n; ++i) {
                out1.push_back(module_output(clock, 1)[i]);
                out2.push_back(module_output(clock, 2)[i]);
                out3.push_back(module_output(clock, 3)[i]);
            }
            frames -= n;
        }
    }
    int rising_edges() const {
        int n = 0;
        float last = 0;
        for (float x : out1) n += (last == 0 && x == 1), last = x;
        return n;
    }
    int param(int id) {
        t_message m;
        EXPECT_EQ(clock->get_message(clock, id, &m), 0);
        return m.value.i;
    }
    void send(int id, float v) {
        t_message m = make_float_message(clock->id, id, v);
        clock->receive_message(clock, &m);
    }
    void give_host(CSyncInputPort* h) {
        const intptr_t arg = reinterpret_cast<intptr_t>(h);
        ASSERT_EQ(clock->query(clock, kControlHostClock), 1);
        clock->control(clock, kControlHostClock, &arg, 1);
    }
    std::string state() {
        KelTextWriter w;
        module_write_state(clock, w);
        return w.str();
    }
    void read(const std::string& body) {
        const std::string text = "transport Clock version 1\n{\n" + body + "\n}\n";
        KelTextReader r(text);  // the reader only views the text
        module_read_state(clock, r);
    }
};

TEST(TempoDivision, TableAndPulses) {
    EXPECT_EQ(kTempoDivisionCount, 25);
    EXPECT_FLOAT_EQ(tempo_division(0), 4.0f);
    EXPECT_FLOAT_EQ(tempo_division(24), 0.16666667f);
    EXPECT_FLOAT_EQ(tempo_division_pulses(20), 60.0f);  // entry 1: a sixteenth, 60 pulses
    EXPECT_FLOAT_EQ(tempo_division_quarters(14), 1.0f);
    EXPECT_FLOAT_EQ(tempo_division(99), tempo_division(24));
    EXPECT_NEAR(tempo_division_samples(14, 120.0, 44100.0), 22050.0, 1e-6);
}

TEST(Transport, QuarterNoteHoldsTwoHundredFortyPulses) {
    for (float rate : {44100.0f, 96000.0f}) {
        Rig rig(rate);
        EXPECT_FLOAT_EQ(rig.t()->half_period, rate * 30.0f / (120.0f * 240.0f));
        rig.run(static_cast<int>(rate / 2));  // a quarter note at 120 BPM
        EXPECT_EQ(rig.rising_edges(), 240) << rate;
        // Not running: gate low, no start pulse, yet the clock runs.
        for (float x : rig.out2) ASSERT_EQ(x, 0.0f);
        for (float x : rig.out3) ASSERT_EQ(x, 0.0f);
    }
    EXPECT_FLOAT_EQ(Rig().t()->half_period, 45.9375f);
}

TEST(Transport, CoarseAndFineTempo) {
    Rig rig;
    rig.send(kTransportParamFine, 5);
    rig.send(kTransportParamCoarse, 119);
    EXPECT_FLOAT_EQ(rig.t()->tempo, 120.5f);
    EXPECT_EQ(rig.param(kTransportParamCoarse), 119);
    EXPECT_EQ(rig.param(kTransportParamFine), 5);

    rig.read(" tempo 99.96");
    EXPECT_EQ(rig.param(kTransportParamCoarse), 99);
    EXPECT_EQ(rig.param(kTransportParamFine), 0);
    t_message m;
    EXPECT_EQ(rig.clock->get_message(rig.clock, kTransportParamTap, &m), 1);  // message only
}

TEST(Transport, BadTempoKeepsTheLastGoodOne) {
    Rig rig;
    rig.read(" tempo 90");
    const std::vector<std::string> texts = {" tempo 0", " tempo -20", " tempo nan", " tempo inf", " tempo 1e999",
                                            " tempo junk"};
    for (const std::string& text : texts) {
        rig.read(text);
        EXPECT_FLOAT_EQ(rig.t()->tempo, 90.0f) << text;
    }
    {
        // Absurd but finite: accepted, and neither the reports nor the clock break.
        Rig huge;
        huge.read(" tempo 3e38");
        EXPECT_EQ(huge.param(kTransportParamFine), 0);
        EXPECT_GT(huge.param(kTransportParamCoarse), 0);
        huge.run(64);
        for (float x : huge.out1) ASSERT_TRUE(x == 0.0f || x == 1.0f);
    }
    rig.send(kTransportParamCoarse, -5);  // -5 + 0 + 1: negative
    rig.send(kTransportParamCoarse, -1);  // exactly 0
    rig.send(kTransportParamFine, NAN);
    t_message m = make_int_message(600, kTransportParamCoarse, -1);
    rig.clock->receive_message(rig.clock, &m);
    EXPECT_FLOAT_EQ(rig.t()->tempo, 90.0f);

    Host host;
    rig.give_host(&host);
    rig.send(kTransportParamSync, 1);
    for (float bad : {0.0f, -120.0f, NAN, INFINITY}) {
        host.set(true, bad);
        rig.run(2048);
        EXPECT_FLOAT_EQ(rig.t()->tempo, 90.0f) << bad;
        EXPECT_GT(rig.rising_edges(), 0);
        EXPECT_TRUE(std::isfinite(rig.t()->half_period));
    }
    EXPECT_EQ(rig.param(kTransportParamRunning), 1);  // playing still followed
}

TEST(Transport, StateTextRoundTrip) {
    Rig rig;
    rig.send(kTransportParamFine, 5);
    rig.send(kTransportParamSync, 1);  // no host: wanted
    EXPECT_EQ(rig.state(), "transport Clock version 1\n{\n   tempo       120.5\n   sync_on_off 1\n}\n");
    Rig other;
    const std::string text = rig.state();
    KelTextReader r(text);
    module_read_state(other.clock, r);
    EXPECT_FLOAT_EQ(other.t()->tempo, 120.5f);
    EXPECT_EQ(other.param(kTransportParamSync), 1);
    EXPECT_EQ(other.told.ids, (std::vector<int>{4, 2, 3, 5}));
}

TEST(Transport, SyncWaitsForAUsableHostClock) {
    Rig rig;
    CSyncInputPort unusable;
    rig.give_host(&unusable);
    rig.send(kTransportParamSync, 1);
    EXPECT_EQ(rig.param(kTransportParamSync), 1);
    EXPECT_EQ(rig.t()->sync_active, 0);

    Host host;
    host.set(true, 100);
    rig.give_host(&host);
    EXPECT_EQ(rig.t()->sync_active, 1);
    rig.run(64);
    EXPECT_FLOAT_EQ(rig.t()->tempo, 100.0f);
    EXPECT_EQ(rig.out3[0], 1.0f);  // stopped to playing: start pulse
    EXPECT_EQ(rig.out3[1], 0.0f);
    EXPECT_EQ(rig.out2[63], 1.0f);
    rig.run(64);
    EXPECT_EQ(rig.out3[0], 0.0f);

    host.set(false, 100);
    rig.run(64);
    EXPECT_EQ(rig.out2[0], 0.0f);

    rig.send(kTransportParamTap, 1);  // ignored while following the host
    EXPECT_FALSE(rig.t()->tap.pressed);
}

TEST(Transport, SyncOffStaysOffWhenAHostArrives) {
    Rig rig;
    rig.send(kTransportParamSync, 1);
    rig.send(kTransportParamSync, 0);
    EXPECT_EQ(rig.param(kTransportParamSync), 0);
    Host host;
    host.set(true, 80);
    rig.give_host(&host);
    rig.run(64);
    EXPECT_EQ(rig.t()->sync_active, 0);
    EXPECT_FLOAT_EQ(rig.t()->tempo, 120.0f);
}

TEST(Transport, StopAndRunningMessages) {
    Rig rig;
    rig.send(kTransportParamRunning, 1);
    rig.run(16);
    EXPECT_EQ(rig.out2[0], 1.0f);
    rig.send(kTransportParamStop, 1);
    rig.run(16);
    EXPECT_EQ(rig.out2[0], 0.0f);
    EXPECT_EQ(rig.out3[0], 1.0f);
}

TEST(Transport, TapTempo) {
    Rig rig;
    auto tap_at = [&](double seconds, double release_after = 0.1) {
        g_now_us = static_cast<int64_t>(seconds * 1e6);
        rig.send(kTransportParamTap, 1);
        g_now_us += static_cast<int64_t>(release_after * 1e6);
        rig.send(kTransportParamTap, 0);
    };
    tap_at(10.0);
    EXPECT_FLOAT_EQ(rig.t()->tempo, 120.0f);
    tap_at(10.5);
    EXPECT_NEAR(rig.t()->tempo, 120.0f, 1e-3);
    tap_at(11.0);
    tap_at(11.4);  // intervals 0.5 0.5 0.4: mean of 120 120 150
    EXPECT_NEAR(rig.t()->tempo, 130.0f, 1e-3);
    tap_at(11.8);
    tap_at(12.2);  // only the last three intervals count: 120 150 150 ... then 150 150 150
    EXPECT_NEAR(rig.t()->tempo, 150.0f, 1e-3);

    tap_at(14.7);  // 2.5 s pause: a new measurement, tempo kept
    EXPECT_NEAR(rig.t()->tempo, 150.0f, 1e-3);
    tap_at(15.7);
    EXPECT_NEAR(rig.t()->tempo, 60.0f, 1e-3);

    tap_at(20.0, 1.5);  // a long press
    tap_at(21.9);       // within 2 s of the tap, yet a new measurement
    EXPECT_NEAR(rig.t()->tempo, 60.0f, 1e-3);
    tap_at(22.4);
    EXPECT_NEAR(rig.t()->tempo, 120.0f, 1e-3);

    // A second press without a release is not a tap.
    g_now_us = 22900000;
    rig.send(kTransportParamTap, 1);
    g_now_us = 23000000;
    rig.send(kTransportParamTap, 1);
    EXPECT_NEAR(rig.t()->tempo, 120.0f, 1e-3);
}

TEST(Transport, MalformedCreationLine) {
    EXPECT_EQ(transport_create("44100"), nullptr);
    EXPECT_EQ(transport_create(""), nullptr);
}

} // namespace
