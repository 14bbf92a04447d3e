#include "mqtt/codec/MessageTypes.h"

const char* MessageType::Name(int32_t type)
{
    static const char* const names[] = {"RESERVED", "CONNECT", "CONNACK", "PUBLISH", "PUBACK", "PUBREC",
                                        "PUBREL", "PUBCOMP", "SUBSCRIBE", "SUBACK", "UNSUBSCRIBE", "UNSUBACK",
                                        "PINGREQ", "PINGRESP", "DISCONNECT", "AUTH"};
    return type >= 0 && type < 16 ? names[type] : names[0];
}
