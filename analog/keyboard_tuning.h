#pragma once
// The keyboard's pitch table and the two tunings it is filled from: equal temperament
// ("tuning_type" 0) and the Scala scale (1).
//
// Threads: select, set_base_note and table allocate nothing: the keyboard calls them
// from the render when "tuning_type" or "tuning_note_ref" change by message.
// load_scala_file reads a file and allocates; it runs on the user-interface thread
// while no render uses this object (the document holds the render off meanwhile).
#include <string>

#include "analog/tuning.h"
#include "analog/tuning_scala.h"

class CKeyboardTuning {
public:
    enum : int { kEqualTemperament = 0, kScala = 1 };

    CKeyboardTuning() { rebuild(); }

    // Selects a tuning (values other than 1 mean equal temperament) and refills the table.
    void select(int type);
    int type() const { return type_; }
    // "tuning_note_ref": the Scala base note follows it; the table is refilled when
    // the Scala tuning is selected.
    void set_base_note(int note);

    // Loads the .scl file at `path` (the name comes from the file dialog). Success:
    // the scale takes `base_note`, the Scala tuning is selected and the table is
    // refilled. Failure: the warning "Error in Scala file." is reported, equal
    // temperament is selected and the previous scale is kept for a later switch back.
    // Either way the keyboard then reports "tuning_type" and "scala_scale".
    bool load_scala_file(const std::string& path, int base_note);

    const float* table() const { return table_; }
    const CTuning& selected() const;
    CTuningScala& scala() { return scala_; }
    const CTuningScala& scala() const { return scala_; }

    // Refills the table from the selected tuning (after the scale text was read).
    void rebuild() { selected().fill_table(table_); }

private:
    CTuningEqualTemperament equal_;
    CTuningScala scala_;
    int type_ = kEqualTemperament;
    float table_[kTuningNotes] = {};
};
