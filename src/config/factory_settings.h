// The factory profile that AT&F restores: the flags and registers of the sample settings file
// the package installs (the test of this table reads that file).
#pragma once

#include <cstdint>

#include "config/settings.h"

struct factory_value {
  uint32_t modem_settings::*field = nullptr;
  uint32_t value = 0;
};

// E1 Q0 V1 &D2 &K0 &C1, caller ID off, S0=0 S2=43 S3=13 S4=10 S5=8 S6=2 S7=30 S10=0 S11=100
// S12=50 S25=0.
inline constexpr factory_value factory_values[] = {
    {&modem_settings::stat_echo, 1},        {&modem_settings::stat_quiet, 0},
    {&modem_settings::stat_verbosity, 1},   {&modem_settings::stat_dtr_action, 2},
    {&modem_settings::flowcontrol, 0},      {&modem_settings::stat_dcd, 1},
    {&modem_settings::caller_id, 0},        {&modem_settings::clip, 0},
    {&modem_settings::sreg_auto_answer, 0}, {&modem_settings::sreg_esc, 43},
    {&modem_settings::sreg_cr, 13},         {&modem_settings::sreg_lf, 10},
    {&modem_settings::sreg_bs, 8},          {&modem_settings::sreg_ring_int, 2},
    {&modem_settings::sreg_conn_tout, 30},  {&modem_settings::sreg_hup_delay, 0},
    {&modem_settings::sreg_split, 100},     {&modem_settings::sreg_esc_delay, 50},
    {&modem_settings::sreg_dtr_ignore, 0},
};

// Sets every field of the profile in `s`; the other settings stay.
inline void settings_restore_factory(modem_settings& s) {
  for (const factory_value& v : factory_values) s.*v.field = v.value;
}
