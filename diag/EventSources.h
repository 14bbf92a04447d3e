#pragma once

// The source names that diagnostic lines carry.
inline constexpr const char* SourceConsole = "Tarnwick";                       // the console's own lines
inline constexpr const char* SourceUnit = "MQTT_Unit";                         // the engine's, and the console's sending and failure lines
inline constexpr const char* SourceEventHandler = "TMQTTEventHandlerThread";   // the event-handler thread's
