#pragma once
// The instrument's built-in default state text, as its root writes it: one block per
// persistent module, in the order the graph creates them, holding the sound of the
// default preset. It is kept here, in one place, for the renderer (to start from that
// sound) and for the documents (the reference text when no preset row is at hand).
//
// Names and their order inside a block are those each module writes; values are the
// default preset's, or the module's own creation value where the preset leaves a setting
// alone. The reader takes any whitespace, so values are aligned for reading by eye.
// Keyboard and Recorder are protected modules: an ordinary load passes over their
// blocks, which are here so that the text is the instrument's whole state.
//
// Keyboard's scala_scale is the empty Scala tuning in its Base64 form, with the base
// note 69 and base pitch 0.75 octave that "tuning_note_ref 69" gives it on reading (a
// fresh keyboard writes base note 60 until its reference note is first set; this form
// is the one that reads back unchanged). Recorder's flags 32 is the soft limiter with
// no trigger mode.

inline constexpr const char* kMelloraDefaultInstrumentText = R"text(main_synth mo version 2
{
  transport Clock version 1
  {
     tempo       120
     sync_on_off 0
  }
  pm_polyvkey Keyboard version 2
  {
     arp_step_0       1
     arp_step_1       1
     arp_step_2       1
     arp_step_3       1
     arp_step_4       1
     arp_step_5       1
     arp_step_6       1
     arp_step_7       1
     arp_step_8       1
     arp_step_9       1
     arp_step_10      1
     arp_step_11      1
     arp_step_12      1
     arp_step_13      1
     arp_step_14      1
     arp_step_15      1
     arp_length       15
     arp_octave_range 0
     arp_octave_span  1
     arp_note_order   0
     arp_sync         17
     arp_latch        0
     arp_rate         5
     scala_scale      VmVyc2lvbiAyIAowIAo2OQowLjc1CjAK
     tuning_type      0
     tuning_note_ref  69
     tuning_fine      0
     octave_detune    0
     semitone_detune  0
     stretch          1
     error            0
     velocity_curve   1
     mono_poly        1
     voice_mode       2
     arp_active       0
     unisson_mode     0
     unisson_detune   0.005
     unisson_delay    0.005
     do_hold_pedal    1
  }
  lin_gain key_follow0 version 1
  {
     gain        0.2
     ratio       0.2356
     granularity 0.1204
  }
  lin_gain vel_follow0 version 1
  {
     gain        3.14453
     ratio       0.2356
     granularity 0.1204
  }
  mallet mallet0 version 1
  {
     cutoff     367.26
     strength   0.257812
     felt_coeff 0.34
     mod1       1
     mod2       3.86928
     mod3       2
  }
  noise_damper noise_damper0 version 1
  {
     cutoff   54.5395
     strength 0.115478
     balance  0.795276
  }
  fork fork0 version 1
  {
     release_time    0.750324
     damping_tone    0.809462
     amplitude_tone  0.463047
     damping_tine    10.2198
     damp_freq_tine  1.15625
     amplitude_tine  0.253003
     tine_balance    0.448819
     noise_pitch     1.56299
     damping_noise   81.106
     damp_freq_noise 0.78125
     amplitude_noise 0.0504807
     old_new         0
  }
  pick_up pick_up0 version 1
  {
     a           0.67389
     b           0.278472
     saturation  0.11
     amp_in      0.235437
     amp_out     1.64295
     amp_out_kbd -0.295276
     model       0
  }
  eq_3band Eq version 1
  {
     on_off      0
     low_cutoff  255.381
     low_gain    1.31018
     peak_cutoff 643.558
     peak_gain   1.05582
     peak_Q      5
     high_cutoff 1716.57
     high_gain   1.05582
     amplitude   1
  }
  tremolo Tremolo version 1
  {
     on_off      0
     sync_index  0
     speed       326.1
     depth       0.346457
     mono_stereo 1
     wave_type   0
  }
  mo_topology Topology version 1
  {
     topology 0
  }
  fx_wrapper Effect_A version 1
  {
     on_off      0
     preset      4
     sync        0
     param1      1.05512
     param2      0.897638
     param3      1.02362
     label_index 0
  }
  wah Wah_Wah_Left_A version 1
  {
     on_off          1
     cutoff          976
     resonance       5
     depth           1.17
     sync_index      0
     speed           120
     filter_selector 0
  }
  wah Wah_Wah_Right_A version 1
  {
     on_off          1
     cutoff          976
     resonance       5
     depth           1.17
     sync_index      0
     speed           120
     filter_selector 0
  }
  auto_wah Auto_Wah_Left_A version 1
  {
     on_off          1
     cutoff          976
     resonance       5
     depth           3
     env_follow_freq 10
     filter_selector 0
  }
  auto_wah Auto_Wah_Right_A version 1
  {
     on_off          1
     cutoff          976
     resonance       5
     depth           3
     env_follow_freq 10
     filter_selector 0
  }
  distortion Distortion_Left_A version 1
  {
     on_off          0
     drive           0.479407
     tone            1.30069
     level           1.69744
     distortion_type 6
     bank            0
  }
  distortion Distortion_Right_A version 1
  {
     on_off          0
     drive           0.479407
     tone            1.30069
     level           1.69744
     distortion_type 6
     bank            0
  }
  pm_sync_chorus Chorus_A version 1
  {
     clock_source_param 0
     tempo_coarse_param 160
     tempo_fine_param   0
     steps_param        0
     delay              0.0054549
     mix                1
     spread             1
     depth              0.00021879
     feedback           0.0160206
     mode               2
  }
  sync_ping_pong_delay Delay_A version 2
  {
     steps_param 14
     delay       22050
     feedback    0.33
     cutoff      4000
     angle       0.5
     dry         1
     wet         0.5
     sync        1
     bypass      0
  }
  phaser Phaser_Left_A version 2
  {
     on_off       1
     modulation   0
     depth        0
     inverter     0
     feedback     0.5
     frequency    550
     sync_index   0
     speed        60
     external_lfo 1
  }
  phaser Phaser_Right_A version 2
  {
     on_off       1
     modulation   0
     depth        0
     inverter     0
     feedback     0.5
     frequency    550
     sync_index   0
     speed        60
     external_lfo 1
  }
  fx_wrapper Effect_B version 1
  {
     on_off      0
     preset      9
     sync        0
     param1      0.976378
     param2      1.6378
     param3      1
     label_index 9
  }
  wah Wah_Wah_Left_B version 1
  {
     on_off          1
     cutoff          976
     resonance       5
     depth           1.17
     sync_index      0
     speed           120
     filter_selector 0
  }
  wah Wah_Wah_Right_B version 1
  {
     on_off          1
     cutoff          976
     resonance       5
     depth           1.17
     sync_index      0
     speed           120
     filter_selector 0
  }
  auto_wah Auto_Wah_Left_B version 1
  {
     on_off          1
     cutoff          393.437
     resonance       4.21163
     depth           7.23275
     env_follow_freq 20
     filter_selector 0
  }
  auto_wah Auto_Wah_Right_B version 1
  {
     on_off          1
     cutoff          393.437
     resonance       4.21163
     depth           7.23275
     env_follow_freq 20
     filter_selector 0
  }
  distortion Distortion_Left_B version 1
  {
     on_off          1
     drive           1
     tone            1
     level           1
     distortion_type 0
     bank            0
  }
  distortion Distortion_Right_B version 1
  {
     on_off          1
     drive           1
     tone            1
     level           1
     distortion_type 0
     bank            0
  }
  pm_sync_chorus Chorus_B version 1
  {
     clock_source_param 0
     tempo_coarse_param 35
     tempo_fine_param   0
     steps_param        0
     delay              0.00313981
     mix                0.5
     spread             0.5
     depth              0.000554384
     feedback           0.0160206
     mode               1
  }
  sync_ping_pong_delay Delay_B version 2
  {
     steps_param 14
     delay       22050
     feedback    0.33
     cutoff      4000
     angle       0.5
     dry         1
     wet         0.5
     sync        1
     bypass      0
  }
  phaser Phaser_Left_B version 2
  {
     on_off       1
     modulation   0
     depth        0
     inverter     0
     feedback     0.5
     frequency    550
     sync_index   0
     speed        60
     external_lfo 1
  }
  phaser Phaser_Right_B version 2
  {
     on_off       1
     modulation   0
     depth        0
     inverter     0
     feedback     0.5
     frequency    550
     sync_index   0
     speed        60
     external_lfo 1
  }
  fx_wrapper Reverb version 1
  {
     on_off      1
     preset      1
     sync        0
     param1      0.283465
     param2      1
     param3      1.66929
     label_index 0
  }
  reverberator Reverb_Module version 1
  {
     decay           1.60371
     cutoff          0.109032
     diffusion       -0.63
     size            0.377953
     size_ratio      1
     low_freq_cutoff 33.2031
     mix             0.0865793
     bypass          0
  }
  volume Volume version 1
  {
     amplitude 0.523901
  }
  recorder Recorder version 1
  {
     filename empty
     format   0
     flags    32
  }
  level level_left version 1
  {
  }
  level level_right version 1
  {
  }
  stereo_audio_out stereo version 1
  {
     on 1
  }
}
)text";
