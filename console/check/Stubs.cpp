#include "console/check/Check.h"
void AddSubscriptionChecks(std::vector<TCheck>&) {}
void AddSessionChecks(std::vector<TCheck>&) {}
void AddExpiryChecks(std::vector<TCheck>&) {}
void AddAliasChecks(std::vector<TCheck>&) {}
void AddFlowChecks(std::vector<TCheck>&) {}
void AddPropertyChecks(std::vector<TCheck>&) {}
void AddSubOptionChecks(std::vector<TCheck>&) {}
void AddSharedChecks(std::vector<TCheck>&) {}
void AddConnackChecks(std::vector<TCheck>&) {}
void AddRobustnessChecks(std::vector<TCheck>&) {}
