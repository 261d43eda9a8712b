#include "core/dtr_watch.h"

#include "modem/modem_lines.h"

void dtr_forget(loop_state& ls) {
  ls.dtr_drop_timing = 0;
  ls.metrics.dtr_drop_counted = false;
  // The countdown goes too, or select would keep waking for it.
  countdown_stop(ls.dtr_timer);
}

bool dtr_dropped(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (dte_dtr_up(ms)) {
    dtr_forget(ls);
    return false;
  }
  if (ms.settings.sreg_dtr_ignore == 0) return metrics_dtr_drop(ls.metrics);
  if (ls.dtr_drop_timing == 0) {
    countdown_start_at(ls.dtr_timer, ms.dtr_ignore_sec, ms.dtr_ignore_usec, now.wall);
    ls.dtr_drop_timing = 1;
    return false;
  }
  return countdown_expired(&now.wall, ls.dtr_timer) != 0 && metrics_dtr_drop(ls.metrics);
}
