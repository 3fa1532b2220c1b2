// Stand-in for the board's log library on hosts that lack it: each line goes to
// syslog(3) with the priority that matches the Android one.
#include <syslog.h>

#include <cstdarg>

extern "C" int __android_log_print(int prio, const char* /*tag*/, const char* fmt, ...) {
  int priority = LOG_INFO;
  switch (prio) {
    case 6:
      priority = LOG_ERR;
      break;
    case 5:
      priority = LOG_WARNING;
      break;
    case 4:
      priority = LOG_INFO;
      break;
    case 3:
      priority = LOG_DEBUG;
      break;
    default:
      priority = prio > 6 ? LOG_CRIT : LOG_DEBUG;
      break;
  }
  va_list args;
  va_start(args, fmt);
  vsyslog(LOG_USER | priority, fmt, args);
  va_end(args);
  return 1;
}
