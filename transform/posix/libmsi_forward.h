// libmsi's types by name only, for headers that pass them on.
#pragma once

extern "C" {
typedef struct _LibmsiDatabase LibmsiDatabase;
}
