#pragma once
// A microtuning read from a Scala scale file (.scl).
//
// A scale is a list of degrees in cents above the unison; the last degree is the
// period (normally 1200 cents, the octave) after which the degrees repeat. The base
// note keeps its equal-tempered pitch and the scale unfolds from it in both directions.
//
// Scale files come from the internet, so the reader trusts nothing: a file is read
// whole into a new scale and only a file that parses completely replaces the current
// one. A rejected file leaves the scale the user had before.
//
// Threads: fill_table, set_base_note and the accessors allocate nothing (audio thread
// allowed). The readers and write_text allocate, read_file does I/O: they belong to
// the user-interface thread while no render uses the tuning.
#include <string>
#include <string_view>
#include <vector>

#include "analog/tuning.h"
#include "modules/parameter.h"

// Far more degrees than any published scale holds; the bound keeps a hostile count
// or file from exhausting memory and a preset's scale text small.
constexpr int kMaxScaleDegrees = 8192;
// .scl files are a few kilobytes; anything larger than this is not a scale.
constexpr std::size_t kMaxScaleFileBytes = 1 << 20;
// A degree beyond 100 octaves from the unison is a corrupt number, not music.
constexpr double kMaxDegreeCents = 1200.0 * 100.0;

class CTuningScala final : public CTuning {
public:
    void fill_table(float table[kTuningNotes]) const override;
    // The scale as lines of text: "Version 2 ", description length and description,
    // base note, base pitch, degree count, then one degree in cents per line.
    std::string write_text() const override;
    // Reads what write_text wrote (or the older form without the version line and
    // description). On any fault the tuning is left reset and the answer is false.
    bool read_text(std::string_view text) override;
    std::string description() const override { return description_; }

    // Reads the bytes of a .scl file. On success the scale and its description (the
    // file name without its folder) replace the current ones; on rejection nothing
    // changes. The base note is not part of a file and stays as it is.
    bool read_scl(std::string_view bytes, std::string_view file_name);
    // Reads the .scl file at `path`; false when it is not a readable regular file of
    // reasonable size or is malformed (nothing changes then).
    bool read_file(const std::string& path);

    // The note that keeps its own equal-tempered pitch, (note - 60) / 12 octaves.
    void set_base_note(int note);
    int base_note() const { return base_note_; }
    float base_pitch() const { return base_pitch_; }
    int degree_count() const { return static_cast<int>(degrees_.size()); }
    const std::vector<float>& degrees() const { return degrees_; }  // cents, file order

    // Base note 60, base pitch 0, no degrees, no description.
    void reset();

private:
    std::vector<float> degrees_;
    int base_note_ = kMiddleC;
    float base_pitch_ = 0;
    std::string description_;
};

// "scala_scale": the Scala tuning as a state-text value. The scale text is written in
// Base64 so that it is one token; reading decodes it and reads it back. The display
// text is the scale's description.
class TuningParameter final : public StringParameter {
public:
    static constexpr int kId = 19;

    explicit TuningParameter(CTuningScala* scala, int id = kId, std::string_view name = "scala_scale")
        : StringParameter(id, name), scala_(scala) {}

    std::string value_text() const override;
    // Text that does not decode or read back leaves the tuning reset.
    void set_value_text(std::string_view text) override;
    std::string display_text() const override { return scala_ ? scala_->description() : std::string(); }
    std::unique_ptr<Parameter> clone_as(int id, std::string_view name) const override {
        return std::make_unique<TuningParameter>(scala_, id, name);
    }

private:
    CTuningScala* scala_;
};
