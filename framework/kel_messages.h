#pragma once
// The message classes whose payload is plain data. What each one means to its sender and
// its receivers belongs to the code that sends it; messages that carry documents or
// library rows are declared beside those types.
#include <string>
#include <utility>

#include "framework/kel_subject.h"

// Asks the document to switch between the edited and the stored sound.
class KelEditCompareRequestMsg : public KelMsg {};

class KelMidiChannelChangedMsg : public KelMsg {
public:
    explicit KelMidiChannelChangedMsg(int channel) : channel(channel) {}
    int channel;  // 0 = all channels
};

class KelNotifyToolbarMidiChannelChangedMsg : public KelMsg {
public:
    explicit KelNotifyToolbarMidiChannelChangedMsg(int channel) : channel(channel) {}
    int channel;
};

class KelPolyphonyChangedMsg : public KelMsg {
public:
    explicit KelPolyphonyChangedMsg(int polyphony) : polyphony(polyphony) {}
    int polyphony;
};

class BrowserSelChangedMsg : public KelMsg {
public:
    BrowserSelChangedMsg(std::string first, std::string second) : first(std::move(first)), second(std::move(second)) {}
    std::string first, second;
};

class MpvCpuUsageChangedMsg : public KelMsg {
public:
    explicit MpvCpuUsageChangedMsg(float usage) : usage(usage) {}
    float usage;
};

class MpvCurrentModeNotifyMsg : public KelMsg {
public:
    explicit MpvCurrentModeNotifyMsg(int mode) : mode(mode) {}
    int mode;
};

class MpvEditCompareMsg : public KelMsg {
public:
    explicit MpvEditCompareMsg(int state) : state(state) {}
    int state;
};

// MIDI activity, for the toolbar's lamp.
class MpvMidiReceivedMsg : public KelMsg {};

class MpvPerformanceDirtyMsg : public KelMsg {
public:
    explicit MpvPerformanceDirtyMsg(int dirty) : dirty(dirty) {}
    int dirty;
};

class MpvPerformanceModifyMsg : public KelMsg {
public:
    MpvPerformanceModifyMsg(std::string name, int value) : name(std::move(name)), value(value) {}
    std::string name;
    int value;
};

class PrepatchedControlValueMsg : public KelMsg {
public:
    explicit PrepatchedControlValueMsg(int value) : value(value) {}
    int value;
};

class PrepatchedControlStringValueMsg : public KelMsg {
public:
    explicit PrepatchedControlStringValueMsg(std::string value) : value(std::move(value)) {}
    std::string value;
};

class PrepatchedPresetDirtyMsg : public KelMsg {
public:
    explicit PrepatchedPresetDirtyMsg(unsigned char dirty) : dirty(dirty) {}
    unsigned char dirty;
};

class PrepatchedMidiLinksDirtyMsg : public KelMsg {
public:
    explicit PrepatchedMidiLinksDirtyMsg(unsigned char dirty) : dirty(dirty) {}
    unsigned char dirty;
};

class PrepatchedPresetModifyMsg : public KelMsg {
public:
    explicit PrepatchedPresetModifyMsg(std::string name) : name(std::move(name)) {}
    std::string name;
};

class PrepatchedMidiLinksModifyMsg : public KelMsg {
public:
    explicit PrepatchedMidiLinksModifyMsg(std::string name) : name(std::move(name)) {}
    std::string name;
};
