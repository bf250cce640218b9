// The group-policy templates of the settings catalogue: an ADMX file with
// the policies and its en-US ADML file with their texts and dialogs.
#pragma once

#include <string>

namespace warderon {

std::string MakePolicyDefinitions();  // warderon.admx
std::string MakePolicyResources();    // en-US/warderon.adml

}  // namespace warderon
