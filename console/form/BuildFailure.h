#pragma once

#include <string>
#include <vector>

class TForm1;

// The frames the console builds from its fields.
enum class TFrameKind { Connect, Pingreq, Disconnect, Subscribe, Unsubscribe, PublishText, PublishFile, Pubrel, Auth };

// What a frame that could not be built points at: the fields to correct
// (control names; none when no field is to blame) and why.
struct TFieldError {
    std::vector<std::string> Controls;
    std::string Reason;   // Japanese, in the system code page, then the builder's reason in brackets
};

// failure: the builder's reason ("ClientID not found", "topic parameter error",
// ...), or a properties field's ("CONNECT properties: Topic Alias is not
// allowed in CONNECT"). The fields the frame was built from tell which text is
// too long and whether the two subscription lists differ in length.
TFieldError FieldErrorOf(TFrameKind kind, const std::string& failure, const TForm1& form);
