// TEMPORARY placeholder, replaced by the fast formatter.
#include "response/response.h"
char *format_response_line(char *out, double t, double x1, double x2) {
    return out + std::snprintf(out, response_line_max, response_line_format, t, x1, x2);
}
