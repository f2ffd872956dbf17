#pragma once
// Our own declarations of the VST 2.4 binary interface: the effect record the plug-in
// hands to the host, the two opcode sets, events, time information and the small
// records of the dispatcher. Written from the team's interface fact sheet; only the
// numbers, widths and field orders are binding, the names are ours.
//
// Every integer field is an exact-width type: the older convention of C `long` is 8
// bytes on LP64 Linux and shifts every offset. "Pointer-sized" values (the dispatcher's
// value argument and its result) are intptr_t and must never be narrowed: several
// opcodes pass pointers through them. All functions use the platform's C calling
// convention (cdecl on 32-bit Windows, the default System V convention on Linux).
//
// Threads: processReplacing, process and effProcessEvents arrive on the host's audio
// thread; setParameter may arrive on any thread, even during a render; everything else
// comes from a host thread that is not the audio thread.
#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define VST2_CALL __cdecl
#else
#define VST2_CALL
#endif

namespace vst2 {

struct Effect;

// Four characters packed most significant first, the way the interface spells ids.
constexpr int32_t four_cc(char a, char b, char c, char d) {
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<unsigned char>(a)) << 24) |
                                (static_cast<uint32_t>(static_cast<unsigned char>(b)) << 16) |
                                (static_cast<uint32_t>(static_cast<unsigned char>(c)) << 8) |
                                static_cast<uint32_t>(static_cast<unsigned char>(d)));
}

constexpr int32_t kMagic = four_cc('V', 's', 't', 'P');  // 0x56737450
constexpr int32_t kVersion = 2400;                       // answer to the version questions

// Our own vendor-specific request (kEffVendorSpecific, index kSeedRequest, value: a
// seed). Sent by our renderer before kEffOpen so that a plug-in render is bit-identical
// to a direct render with the same seed; a plug-in that does not know it answers 0.
constexpr int32_t kSeedRequest = four_cc('M', 'l', 'S', 'd');

using HostCallback = intptr_t(VST2_CALL*)(Effect* effect, int32_t opcode, int32_t index, intptr_t value,
                                          void* ptr, float opt);
using DispatcherProc = intptr_t(VST2_CALL*)(Effect* effect, int32_t opcode, int32_t index, intptr_t value,
                                            void* ptr, float opt);
using ProcessProc = void(VST2_CALL*)(Effect* effect, float** inputs, float** outputs, int32_t frames);
using ProcessDoubleProc = void(VST2_CALL*)(Effect* effect, double** inputs, double** outputs, int32_t frames);
using SetParameterProc = void(VST2_CALL*)(Effect* effect, int32_t index, float value);
using GetParameterProc = float(VST2_CALL*)(Effect* effect, int32_t index);
// The exported entry point (VSTPluginMain, and `main` as its legacy alias).
using EntryProc = Effect*(VST2_CALL*)(HostCallback host);

// The record the entry point returns. The plug-in allocates it zeroed and never writes
// host_reserved1, host_reserved2 or host_user after returning it: hosts keep their own
// pointers there.
struct Effect {
    int32_t magic;                             // kMagic
    DispatcherProc dispatcher;
    ProcessProc process;                       // accumulating; deprecated but must be valid
    SetParameterProc set_parameter;
    GetParameterProc get_parameter;
    int32_t num_programs;
    int32_t num_params;
    int32_t num_inputs;
    int32_t num_outputs;
    int32_t flags;                             // kEffectFlag*
    intptr_t host_reserved1;
    intptr_t host_reserved2;
    int32_t initial_delay;                     // latency in samples
    int32_t real_qualities;                    // deprecated, 0
    int32_t off_qualities;                     // deprecated, 0
    float io_ratio;                            // deprecated
    void* object;                              // the plug-in's own instance
    void* host_user;                           // the host's
    int32_t unique_id;                         // four characters, never 0
    int32_t version;                           // the plug-in's own version number
    ProcessProc process_replacing;
    ProcessDoubleProc process_double_replacing;  // null unless kEffectFlagCanDoubleReplacing
    char future[56];
};

// Effect flags.
enum : int32_t {
    kEffectFlagHasEditor = 1 << 0,
    kEffectFlagCanReplacing = 1 << 4,
    kEffectFlagProgramChunks = 1 << 5,
    kEffectFlagIsSynth = 1 << 8,
    kEffectFlagNoSoundInStop = 1 << 9,
    kEffectFlagCanDoubleReplacing = 1 << 12,
};

// Dispatcher opcodes (host to plug-in). Deprecated ones are still sent by real hosts and
// must be answered harmlessly (0).
enum EffectOpcode : int32_t {
    kEffOpen = 0,
    kEffClose = 1,
    kEffSetProgram = 2,            // value: program
    kEffGetProgram = 3,
    kEffSetProgramName = 4,        // ptr: text, at most kMaxProgramNameLength bytes
    kEffGetProgramName = 5,        // ptr: buffer of kMaxProgramNameLength bytes
    kEffGetParamLabel = 6,         // index: parameter; ptr: buffer
    kEffGetParamDisplay = 7,
    kEffGetParamName = 8,
    kEffGetVu = 9,                 // deprecated
    kEffSetSampleRate = 10,        // opt: rate in Hz
    kEffSetBlockSize = 11,         // value: largest block
    kEffMainsChanged = 12,         // value: 0 suspend, 1 resume
    kEffEditGetRect = 13,          // ptr: EditorRect** to fill with our rectangle's address
    kEffEditOpen = 14,             // ptr: parent window (an X11 window id on Linux)
    kEffEditClose = 15,
    kEffEditDraw = 16,             // deprecated
    kEffEditMouse = 17,            // deprecated
    kEffEditKey = 18,              // deprecated
    kEffEditIdle = 19,
    kEffEditTop = 20,              // deprecated
    kEffEditSleep = 21,            // deprecated
    kEffIdentify = 22,             // deprecated
    kEffGetChunk = 23,             // index: 0 bank, 1 program; ptr: void** to fill; answer: bytes
    kEffSetChunk = 24,             // index: 0 bank, 1 program; value: bytes; ptr: data (copy it)
    kEffProcessEvents = 25,        // ptr: Events*, valid for the next block only
    kEffCanBeAutomated = 26,
    kEffString2Parameter = 27,
    kEffGetNumProgramCategories = 28,  // deprecated
    kEffGetProgramNameIndexed = 29,    // index: program; ptr: buffer
    kEffCopyProgram = 30,          // deprecated
    kEffConnectInput = 31,         // deprecated
    kEffConnectOutput = 32,        // deprecated
    kEffGetInputProperties = 33,   // index: pin; ptr: PinProperties*
    kEffGetOutputProperties = 34,
    kEffGetPlugCategory = 35,
    kEffGetCurrentPosition = 36,   // deprecated
    kEffGetDestinationBuffer = 37, // deprecated
    kEffOfflineNotify = 38,
    kEffOfflinePrepare = 39,
    kEffOfflineRun = 40,
    kEffProcessVarIo = 41,
    kEffSetSpeakerArrangement = 42,  // value: input arrangement pointer; ptr: output arrangement
    kEffSetBlockSizeAndSampleRate = 43,  // deprecated
    kEffSetBypass = 44,
    kEffGetEffectName = 45,        // ptr: buffer, at most kMaxEffectNameLength bytes
    kEffGetErrorText = 46,         // deprecated
    kEffGetVendorString = 47,      // ptr: buffer of kMaxVendorStringLength bytes
    kEffGetProductString = 48,
    kEffGetVendorVersion = 49,
    kEffVendorSpecific = 50,
    kEffCanDo = 51,                // ptr: text; answer 1 yes, 0 don't know, -1 no
    kEffGetTailSize = 52,
    kEffIdle = 53,                 // deprecated
    kEffGetIcon = 54,              // deprecated
    kEffSetViewPosition = 55,      // deprecated
    kEffGetParameterProperties = 56,  // index: parameter; ptr: ParameterProperties*
    kEffKeysRequired = 57,         // deprecated
    kEffGetVstVersion = 58,        // answer kVersion
    kEffEditKeyDown = 59,          // index: character; value: virtual key; opt: modifiers
    kEffEditKeyUp = 60,
    kEffSetEditKnobMode = 61,
    kEffGetMidiProgramName = 62,   // index: channel; ptr: MidiProgramName*
    kEffGetCurrentMidiProgram = 63,
    kEffGetMidiProgramCategory = 64,
    kEffHasMidiProgramsChanged = 65,
    kEffGetMidiKeyName = 66,       // index: channel; ptr: MidiKeyName*
    kEffBeginSetProgram = 67,
    kEffEndSetProgram = 68,
    kEffGetSpeakerArrangement = 69,
    kEffShellGetNextPlugin = 70,
    kEffStartProcess = 71,
    kEffStopProcess = 72,
    kEffSetTotalSampleToProcess = 73,
    kEffSetPanLaw = 74,
    kEffBeginLoadBank = 75,        // ptr: PatchChunkInfo*
    kEffBeginLoadProgram = 76,
    kEffSetProcessPrecision = 77,  // value: 0 float, 1 double
    kEffGetNumMidiInputChannels = 78,
    kEffGetNumMidiOutputChannels = 79,
};

// Host callback opcodes (plug-in to host).
enum HostOpcode : int32_t {
    kHostAutomate = 0,             // index: parameter; opt: normalised value
    kHostVersion = 1,              // callable with a null effect; 0 means "do not load"
    kHostCurrentId = 2,
    kHostIdle = 3,
    kHostPinConnected = 4,         // deprecated; 0 means connected
    kHostWantMidi = 6,             // deprecated, still expected at resume with value 1
    kHostGetTime = 7,              // value: request mask (kTime*); answer: TimeInfo* or 0
    kHostProcessEvents = 8,        // ptr: Events*; only from inside a render
    kHostSetTime = 9,              // deprecated
    kHostTempoAt = 10,             // deprecated
    kHostGetNumAutomatableParameters = 11,  // deprecated
    kHostGetParameterQuantization = 12,     // deprecated
    kHostIoChanged = 13,
    kHostNeedIdle = 14,            // deprecated
    kHostSizeWindow = 15,          // index: width; value: height
    kHostGetSampleRate = 16,
    kHostGetBlockSize = 17,
    kHostGetInputLatency = 18,
    kHostGetOutputLatency = 19,
    kHostGetPreviousPlug = 20,     // deprecated
    kHostGetNextPlug = 21,         // deprecated
    kHostWillReplaceOrAccumulate = 22,  // deprecated
    kHostGetCurrentProcessLevel = 23,   // answer kProcessLevel*
    kHostGetAutomationState = 24,
    kHostOfflineStart = 25,
    kHostOfflineRead = 26,
    kHostOfflineWrite = 27,
    kHostOfflineGetCurrentPass = 28,
    kHostOfflineGetCurrentMetaPass = 29,
    kHostSetOutputSampleRate = 30,      // deprecated
    kHostGetOutputSpeakerArrangement = 31,  // deprecated
    kHostGetVendorString = 32,     // ptr: buffer of kMaxVendorStringLength bytes
    kHostGetProductString = 33,
    kHostGetVendorVersion = 34,
    kHostVendorSpecific = 35,
    kHostSetIcon = 36,             // deprecated
    kHostCanDo = 37,               // ptr: text; answer 1, 0 or -1
    kHostGetLanguage = 38,
    kHostOpenWindow = 39,          // deprecated
    kHostCloseWindow = 40,         // deprecated
    kHostGetDirectory = 41,
    kHostUpdateDisplay = 42,
    kHostBeginEdit = 43,           // index: parameter
    kHostEndEdit = 44,             // index: parameter
    kHostOpenFileSelector = 45,
    kHostCloseFileSelector = 46,
    kHostEditFile = 47,            // deprecated
    kHostGetChunkFile = 48,        // deprecated
    kHostGetInputSpeakerArrangement = 49,  // deprecated
};

enum : int32_t {
    kProcessLevelUnknown = 0,
    kProcessLevelUser = 1,
    kProcessLevelRealtime = 2,
    kProcessLevelPrefetch = 3,
    kProcessLevelOffline = 4,
};

// Plug-in categories (kEffGetPlugCategory).
enum : int32_t {
    kCategoryUnknown = 0,
    kCategoryEffect = 1,
    kCategorySynth = 2,
    kCategoryAnalysis = 3,
    kCategoryMastering = 4,
    kCategorySpatializer = 5,
    kCategoryRoomFx = 6,
    kCategorySurroundFx = 7,
    kCategoryRestoration = 8,
    kCategoryOfflineProcess = 9,
    kCategoryShell = 10,
    kCategoryGenerator = 11,
};

// Events. Every event starts with the common head; walk an Events list through its
// pointer array, never by byte_size (hosts report different sizes for the same record).
enum : int32_t {
    kEventMidi = 1,
    kEventSysex = 6,
};
enum : int32_t {
    kEventFlagRealtime = 1 << 0,  // played live
};

struct Event {
    int32_t type;
    int32_t byte_size;
    int32_t delta_frames;  // frame offset inside the next block; lists need not be sorted
    int32_t flags;
    char data[16];
};

struct MidiEvent {
    int32_t type;          // kEventMidi
    int32_t byte_size;
    int32_t delta_frames;
    int32_t flags;
    int32_t note_length;   // frames, 0 when unknown
    int32_t note_offset;   // frames into the note, 0 when unknown
    unsigned char midi_data[4];  // status, two data bytes, zero
    int8_t detune;         // cents
    uint8_t note_off_velocity;
    uint8_t reserved1;
    uint8_t reserved2;
};

struct SysexEvent {
    int32_t type;          // kEventSysex
    int32_t byte_size;
    int32_t delta_frames;
    int32_t flags;
    int32_t dump_bytes;    // payload length, F0 to F7 included
    intptr_t reserved1;
    unsigned char* sysex_dump;
    intptr_t reserved2;
};

// Declared with two slots; the host allocates as many as num_events needs.
struct Events {
    int32_t num_events;
    intptr_t reserved;
    Event* events[2];
};

// The i-th slot of an event list. Indexing `events` past its declared two slots is
// undefined behaviour (and trips the bounds sanitizer), so both sides go through the
// list's real storage instead.
inline Event* const* event_slots(const Events* list) {
    return reinterpret_cast<Event* const*>(reinterpret_cast<const char*>(list) + offsetof(Events, events));
}
inline Event** event_slots(Events* list) {
    return reinterpret_cast<Event**>(reinterpret_cast<char*>(list) + offsetof(Events, events));
}
// Bytes to allocate for a list of `count` events (never less than the declared record).
constexpr std::size_t events_bytes(int count) {
    const std::size_t slots = static_cast<std::size_t>(count > 0 ? count : 0);
    const std::size_t wanted = offsetof(Events, events) + slots * sizeof(Event*);
    return wanted > sizeof(Events) ? wanted : sizeof(Events);
}

// Time information (kHostGetTime). The kTime* bits are both the request mask and the
// validity and state bits of the answer.
struct TimeInfo {
    double sample_pos;       // always valid
    double sample_rate;      // always valid
    double nano_seconds;     // kTimeNanosValid
    double ppq_pos;          // quarter notes, kTimePpqPosValid
    double tempo;            // beats per minute, kTimeTempoValid
    double bar_start_pos;    // kTimeBarsValid
    double cycle_start_pos;  // kTimeCyclePosValid
    double cycle_end_pos;
    int32_t time_sig_numerator;  // kTimeTimeSigValid
    int32_t time_sig_denominator;
    int32_t smpte_offset;    // 1/80 frame, kTimeSmpteValid
    int32_t smpte_frame_rate;
    int32_t samples_to_next_clock;  // kTimeClockValid
    int32_t flags;
};

enum : int32_t {
    kTimeTransportChanged = 1 << 0,
    kTimeTransportPlaying = 1 << 1,
    kTimeTransportCycleActive = 1 << 2,
    kTimeTransportRecording = 1 << 3,
    kTimeAutomationWriting = 1 << 6,
    kTimeAutomationReading = 1 << 7,
    kTimeNanosValid = 1 << 8,
    kTimePpqPosValid = 1 << 9,
    kTimeTempoValid = 1 << 10,
    kTimeBarsValid = 1 << 11,
    kTimeCyclePosValid = 1 << 12,
    kTimeTimeSigValid = 1 << 13,
    kTimeSmpteValid = 1 << 14,
    kTimeClockValid = 1 << 15,
};

// The editor's size (kEffEditGetRect): the plug-in keeps it alive and hands out its address.
struct EditorRect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

// String limits, the terminating zero included.
enum : int32_t {
    kMaxProgramNameLength = 24,
    kMaxParamStringLength = 8,     // label, display and name; hosts give more, rely on 8
    kMaxEffectNameLength = 32,
    kMaxVendorStringLength = 64,
    kMaxProductStringLength = 64,
    kMaxLabelLength = 64,          // pin and parameter labels, MIDI names
    kMaxShortLabelLength = 8,
    kMaxCategoryLabelLength = 24,
    kMaxFileNameLength = 100,
};

enum : int32_t {
    kPinIsActive = 1 << 0,
    kPinIsStereo = 1 << 1,   // first channel of a stereo pair
    kPinUseSpeaker = 1 << 2, // arrangement_type is meaningful
};

// Speaker-arrangement codes used in the pin record.
enum : int32_t {
    kArrangementUserDefined = -2,
    kArrangementEmpty = -1,
    kArrangementMono = 0,
    kArrangementStereo = 1,
};

struct PinProperties {
    char label[kMaxLabelLength];
    int32_t flags;             // kPin*
    int32_t arrangement_type;
    char short_label[kMaxShortLabelLength];
    char future[48];
};

enum : int32_t {
    kParamIsSwitch = 1 << 0,
    kParamUsesIntegerMinMax = 1 << 1,
    kParamUsesFloatStep = 1 << 2,
    kParamUsesIntStep = 1 << 3,
    kParamSupportsDisplayIndex = 1 << 4,
    kParamSupportsDisplayCategory = 1 << 5,
    kParamCanRamp = 1 << 6,
};

struct ParameterProperties {
    float step_float;
    float small_step_float;
    float large_step_float;
    char label[kMaxLabelLength];
    int32_t flags;             // kParam*
    int32_t min_integer;
    int32_t max_integer;
    int32_t step_integer;
    int32_t large_step_integer;
    char short_label[kMaxShortLabelLength];
    int16_t display_index;
    int16_t category;          // 0 none, else group index + 1
    int16_t num_parameters_in_category;
    int16_t reserved;
    char category_label[kMaxCategoryLabelLength];
    char future[16];
};

enum : int32_t {
    kMidiProgramIsOmni = 1 << 0,  // channel 0 answers for all channels
};

// kEffGetMidiProgramName and kEffGetCurrentMidiProgram: the host sets this_program_index.
struct MidiProgramName {
    int32_t this_program_index;
    char name[kMaxLabelLength];
    int8_t midi_program;       // -1 off, else 0..127
    int8_t midi_bank_msb;
    int8_t midi_bank_lsb;
    int8_t reserved;
    int32_t parent_category_index;  // -1: none
    int32_t flags;
};

struct MidiProgramCategory {
    int32_t this_category_index;
    char name[kMaxLabelLength];
    int32_t parent_category_index;
    int32_t flags;
};

// kEffGetMidiKeyName: the host sets the program and the key; an empty name means default.
struct MidiKeyName {
    int32_t this_program_index;
    int32_t this_key_number;
    char key_name[kMaxLabelLength];
    int32_t reserved;
    int32_t flags;
};

// kEffBeginLoadBank and kEffBeginLoadProgram.
struct PatchChunkInfo {
    int32_t version;           // 1
    int32_t plugin_unique_id;
    int32_t plugin_version;
    int32_t num_elements;      // programs or parameters
    char future[48];
};

// Virtual key codes and modifiers of kEffEditKeyDown / kEffEditKeyUp (the ones we use).
enum : int32_t {
    kKeyBack = 1,
    kKeyTab = 2,
    kKeyReturn = 4,
    kKeyEscape = 6,
    kKeySpace = 7,
    kKeyEnd = 9,
    kKeyHome = 10,
    kKeyLeft = 11,
    kKeyUp = 12,
    kKeyRight = 13,
    kKeyDown = 14,
    kKeyPageUp = 15,
    kKeyPageDown = 16,
    kKeyEnter = 19,
    kKeyDelete = 22,
    kKeyF1 = 40,
};
enum : int32_t {
    kModifierShift = 1 << 0,
    kModifierAlternate = 1 << 1,
    kModifierCommand = 1 << 2,
    kModifierControl = 1 << 3,
};

// Texts of the canDo questions.
namespace can_do {
inline constexpr const char* kReceiveEvents = "receiveVstEvents";
inline constexpr const char* kReceiveMidiEvent = "receiveVstMidiEvent";
inline constexpr const char* kReceiveTimeInfo = "receiveVstTimeInfo";
inline constexpr const char* kSendEvents = "sendVstEvents";
inline constexpr const char* kSendMidiEvent = "sendVstMidiEvent";
inline constexpr const char* kMidiProgramNames = "midiProgramNames";
inline constexpr const char* kBypass = "bypass";
inline constexpr const char* kOffline = "offline";
// Asked of the host.
inline constexpr const char* kHostSizeWindow = "sizeWindow";
inline constexpr const char* kHostSendTimeInfo = "sendVstTimeInfo";
} // namespace can_do

// ---- Layout checks: the host reads these records by offset. ----

static_assert(kMagic == 0x56737450);
static_assert(sizeof(MidiEvent) == 32 && offsetof(MidiEvent, midi_data) == 24 && offsetof(MidiEvent, detune) == 28 &&
              offsetof(MidiEvent, note_off_velocity) == 29);
static_assert(sizeof(Event) == 32 && offsetof(Event, flags) == 12);
static_assert(sizeof(TimeInfo) == 88 && offsetof(TimeInfo, ppq_pos) == 24 && offsetof(TimeInfo, tempo) == 32 &&
              offsetof(TimeInfo, cycle_end_pos) == 56 && offsetof(TimeInfo, time_sig_numerator) == 64 &&
              offsetof(TimeInfo, samples_to_next_clock) == 80 && offsetof(TimeInfo, flags) == 84);
static_assert(sizeof(EditorRect) == 8 && offsetof(EditorRect, left) == 2 && offsetof(EditorRect, bottom) == 4 &&
              offsetof(EditorRect, right) == 6);
static_assert(sizeof(PinProperties) == 128 && offsetof(PinProperties, flags) == 64 &&
              offsetof(PinProperties, arrangement_type) == 68 && offsetof(PinProperties, short_label) == 72 &&
              offsetof(PinProperties, future) == 80);
static_assert(sizeof(ParameterProperties) == 152 && offsetof(ParameterProperties, label) == 12 &&
              offsetof(ParameterProperties, flags) == 76 && offsetof(ParameterProperties, min_integer) == 80 &&
              offsetof(ParameterProperties, large_step_integer) == 92 &&
              offsetof(ParameterProperties, short_label) == 96 && offsetof(ParameterProperties, display_index) == 104 &&
              offsetof(ParameterProperties, category) == 106 &&
              offsetof(ParameterProperties, num_parameters_in_category) == 108 &&
              offsetof(ParameterProperties, category_label) == 112 && offsetof(ParameterProperties, future) == 136);
static_assert(sizeof(MidiProgramName) == 80 && offsetof(MidiProgramName, name) == 4 &&
              offsetof(MidiProgramName, midi_program) == 68 && offsetof(MidiProgramName, midi_bank_lsb) == 70 &&
              offsetof(MidiProgramName, parent_category_index) == 72 && offsetof(MidiProgramName, flags) == 76);
static_assert(sizeof(MidiProgramCategory) == 76 && offsetof(MidiProgramCategory, parent_category_index) == 68 &&
              offsetof(MidiProgramCategory, flags) == 72);
static_assert(sizeof(MidiKeyName) == 80 && offsetof(MidiKeyName, this_key_number) == 4 &&
              offsetof(MidiKeyName, key_name) == 8 && offsetof(MidiKeyName, reserved) == 72 &&
              offsetof(MidiKeyName, flags) == 76);
static_assert(sizeof(PatchChunkInfo) == 64 && offsetof(PatchChunkInfo, num_elements) == 12);

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(void*) == 8);
static_assert(sizeof(Effect) == 192);
static_assert(offsetof(Effect, dispatcher) == 8 && offsetof(Effect, process) == 16 &&
              offsetof(Effect, set_parameter) == 24 && offsetof(Effect, get_parameter) == 32 &&
              offsetof(Effect, num_programs) == 40 && offsetof(Effect, num_params) == 44 &&
              offsetof(Effect, num_inputs) == 48 && offsetof(Effect, num_outputs) == 52 &&
              offsetof(Effect, flags) == 56 && offsetof(Effect, host_reserved1) == 64 &&
              offsetof(Effect, host_reserved2) == 72 && offsetof(Effect, initial_delay) == 80 &&
              offsetof(Effect, real_qualities) == 84 && offsetof(Effect, off_qualities) == 88 &&
              offsetof(Effect, io_ratio) == 92 && offsetof(Effect, object) == 96 &&
              offsetof(Effect, host_user) == 104 &&
              offsetof(Effect, unique_id) == 112 && offsetof(Effect, version) == 116 &&
              offsetof(Effect, process_replacing) == 120 && offsetof(Effect, process_double_replacing) == 128 &&
              offsetof(Effect, future) == 136);
static_assert(sizeof(SysexEvent) == 48 && offsetof(SysexEvent, dump_bytes) == 16 &&
              offsetof(SysexEvent, reserved1) == 24 && offsetof(SysexEvent, sysex_dump) == 32 &&
              offsetof(SysexEvent, reserved2) == 40);
static_assert(sizeof(Events) == 32 && offsetof(Events, reserved) == 8 && offsetof(Events, events) == 16);
#elif UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(void*) == 4);
static_assert(sizeof(Effect) == 144);
static_assert(offsetof(Effect, dispatcher) == 4 && offsetof(Effect, process) == 8 &&
              offsetof(Effect, set_parameter) == 12 && offsetof(Effect, get_parameter) == 16 &&
              offsetof(Effect, num_programs) == 20 && offsetof(Effect, num_params) == 24 &&
              offsetof(Effect, num_inputs) == 28 && offsetof(Effect, num_outputs) == 32 &&
              offsetof(Effect, flags) == 36 && offsetof(Effect, host_reserved1) == 40 &&
              offsetof(Effect, host_reserved2) == 44 && offsetof(Effect, initial_delay) == 48 &&
              offsetof(Effect, real_qualities) == 52 && offsetof(Effect, off_qualities) == 56 &&
              offsetof(Effect, io_ratio) == 60 && offsetof(Effect, object) == 64 && offsetof(Effect, host_user) == 68 &&
              offsetof(Effect, unique_id) == 72 && offsetof(Effect, version) == 76 &&
              offsetof(Effect, process_replacing) == 80 && offsetof(Effect, process_double_replacing) == 84 &&
              offsetof(Effect, future) == 88);
static_assert(sizeof(SysexEvent) == 32 && offsetof(SysexEvent, dump_bytes) == 16 &&
              offsetof(SysexEvent, reserved1) == 20 && offsetof(SysexEvent, sysex_dump) == 24 &&
              offsetof(SysexEvent, reserved2) == 28);
static_assert(sizeof(Events) == 16 && offsetof(Events, reserved) == 4 && offsetof(Events, events) == 8);
#else
#error "the VST 2.4 records are laid out here for 32- and 64-bit pointers only"
#endif

} // namespace vst2
