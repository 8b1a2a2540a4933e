// A provider's compiled instrumentation manifest (the WEVT_TEMPLATE resource
// of its resource file): which message words each of its events. Every
// offset, count and size is checked against the resource; anything malformed
// is "no message".
#pragma once

#include <cstddef>
#include <cstdint>

// The message identifier of event `eventId` (its low 16 bits) of the provider
// `guid` (16 bytes, as stored: the first three fields little-endian), for a
// record of `stringCount` insertion strings. A record read through the legacy
// calls carries no event version: of the event's versions, the one whose
// template has as many data items as the record has strings, or where several
// or none do, the highest. False when the manifest has no such provider or
// event, the event has no message (0xFFFFFFFF), or the resource is malformed.
bool FindManifestMessage(const uint8_t* resource, size_t size, const uint8_t guid[16],
                         uint16_t eventId, size_t stringCount, uint32_t& messageId);
