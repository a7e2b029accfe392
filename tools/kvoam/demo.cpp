// The demonstration kvoam runs when it is given no commands: one emulated
// 48-station board taken through its life, every step and alert shown. Each
// message of the board's monitor thread is waited for (wait), so the output
// is the same from run to run however fast the thread is.
#include "kvoam.h"

namespace kvoam {

const char* DemoScript() {
    return R"(
note Load the plug-in and look for boards (the emulator stands in for the PCI scan).
init
detect
note Create a 48-station board; it reads its configuration file from the search path.
create b0 KV 7400C-48
get b0 State
note Start it: the board boots, sends its report and starts its monitor thread,
note whose first message is the status of everything it watches.
start b0
wait Status event(s)
get b0 State
note The board's heartbeat is lost, then returns.
emu heartbeat 0 0 lost
wait Heartbeat lost
emu heartbeat 0 0 returned
wait Heartbeat returned
note Sensor 2 climbs to 97 degrees, past its warning threshold of 95.
emu temp 0 0 2 97
wait Warning
note Switch the low battery feed off and on again while the board runs.
set b0 LowBatteryEnable Disable
wait not present
set b0 LowBatteryEnable Enable
wait Low Battery
note Stop the board, which switches its line power off.
stop b0
get b0 State
note What the board recorded in the supervisor's database.
db
exit
)";
}

}  // namespace kvoam
