// The store section where each cycle leaves its record for -check and
// -status, and the names of its values.
#pragma once

namespace warderon {

// The section the worker writes for "-check", and its values.
constexpr char kHealthSection[] = "Health";
// When the last cycle ended, for -check: UTC seconds since 1970 as text, and
// where the platform tells, "BOOT-ID SECONDS" of the boot clock.
constexpr char kLastCycleEndUtcValue[] = "LastCycleEndUtc";
constexpr char kLastCycleEndBootValue[] = "LastCycleEndBoot";
// The age in seconds of the oldest alert an outbox holds, and the entries
// dropped that no sink has taken the notice of yet.
constexpr char kOutboxOldestValue[] = "OutboxOldestSeconds";
constexpr char kOutboxDroppedValue[] = "OutboxDroppedUnreported";
// Per sink, for -status: "Outbox" + "Mail" or "Syslog" + one of these.
constexpr const char* kOutboxSinkValues[] = {"Entries", "OldestSeconds", "DroppedTotal"};
constexpr const char* kOutboxSinks[][2] = {{"mail", "Mail"}, {"syslog", "Syslog"}};

}  // namespace warderon
