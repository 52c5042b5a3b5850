#pragma once
// The print and export flows' prompts (reports/prompts.h) through the interaction service,
// as every other box of the screens.
//
//   reports::exportReport(table, this, reportPrompts());

namespace fiscal::reports {
class Prompts;
}

namespace fiscal::ger10200 {

reports::Prompts &reportPrompts();

} // namespace fiscal::ger10200
