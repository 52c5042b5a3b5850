#pragma once
// Scripted stand-ins for the modal interactions, installed for the whole test run so
// that no test ever blocks on a message box.
//   errors()         messages that went to the error reporter, in order
//   questions()      confirmation questions asked, in order
//   answerNext(b)    queues the answer for the next confirmation (an unscripted question
//                    fails the test and answers No)
//   resetHooks()     clears all three

#include <QStringList>

namespace vcltest {

QStringList &errors();
QStringList &questions();
void answerNext(bool yes);
void resetHooks();
void installHooks();

} // namespace vcltest
