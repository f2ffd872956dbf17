#include "analog/keyboard_tuning.h"

#include "engine/report.h"

const CTuning& CKeyboardTuning::selected() const {
    if (type_ == kScala) return scala_;
    return equal_;
}

void CKeyboardTuning::select(int type) {
    type_ = type == kScala ? kScala : kEqualTemperament;
    rebuild();
}

void CKeyboardTuning::set_base_note(int note) {
    scala_.set_base_note(note);
    if (type_ == kScala) rebuild();
}

bool CKeyboardTuning::load_scala_file(const std::string& path, int base_note) {
    if (!scala_.read_file(path)) {
        KEL_WARNING("Error in Scala file.");
        select(kEqualTemperament);
        return false;
    }
    scala_.set_base_note(base_note);
    select(kScala);
    return true;
}
