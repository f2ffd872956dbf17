#pragma once
// The built-in piece that --demo plays: nine bars of electric-piano chords with a
// melody on top, slowing down over the last two bars (about 27 seconds). It is made in
// code as a song of MIDI events, so it takes the same road as a file.
#include "tools/render/smf_reader.h"

namespace mellora::render {

SmfSong demo_piece();

} // namespace mellora::render
