#!/usr/bin/env bash
# include_rules.sh SOURCE_DIR BUILD_DIR : the direction of includes and the front ends' door.
#  - Includes run downward only: core includes core; lib core and lib; host core and host; sim
#    core, host and sim; the front ends (gui, cli) host, sim and themselves.
#  - Through every header they pull in (the build's own dependency records): the desktop
#    program holds no protocol engine, serial channel or port manager, its windows and widgets
#    not even the JSON library; kvat reaches the engine only through the session.
set -uo pipefail
src=$1
build=$2
fail=0
say() { echo "include rule: $*"; fail=1; }

direct() {  # folder, allowed prefixes (regex)
  local dir=$1 allowed=$2 hits
  hits=$(grep -rnoE '#include "[a-z_]+/' "$src/$dir" --include='*.h' --include='*.cpp' --include='*.c' |
         grep -vE "#include \"($allowed)/" || true)
  [ -z "$hits" ] || say "$dir includes upward or sideways:"$'\n'"$hits"
}
direct core 'core'
direct lib 'core|lib'
direct host 'core|host'
direct sim 'core|host|sim'
direct gui 'gui|host|sim'
direct cli 'cli|host|sim'

if ! command -v ninja >/dev/null || [ ! -f "$build/build.ninja" ]; then
  echo "include rules: no Ninja build in $build; only the direct includes were checked"
  exit $fail
fi
deps_of() {  # objects matching a pattern, with the headers each pulls in
  (cd "$build" && ninja -t targets all 2>/dev/null | grep -oE "$1" | sort -u | while read -r o; do
     ninja -t deps "$o" | sed "s|^|$o |"
   done)
}
engine='core/kelvra_at_api\.h|host/serial/serial_port\.h|host/run/port_manager\.h|host/run/run_log\.h|host/run/result_files\.h'
hits=$(deps_of 'gui/CMakeFiles/(kelvra_gui|Kelvra_ATCmd_GUI)\.dir/[^:]*\.o' | grep -E "$engine" | head -5)
[ -z "$hits" ] || say "the desktop program pulls in the engine behind the session:"$'\n'"$hits"
hits=$(deps_of 'gui/CMakeFiles/kelvra_gui\.dir/(windows|widgets)/[^:]*\.o' | grep -E 'nlohmann/' | head -5)
[ -z "$hits" ] || say "a window or widget pulls in the JSON library:"$'\n'"$hits"
hits=$(deps_of 'cli/CMakeFiles/kvat\.dir/[^:]*\.o' | grep -E "$engine" | head -5)
[ -z "$hits" ] || say "kvat reaches past the session:"$'\n'"$hits"
# The check must have seen the objects it speaks of.
[ -n "$(deps_of 'gui/CMakeFiles/kelvra_gui\.dir/windows/main_window[^:]*\.o' | head -1)" ] ||
  say "no dependency records for the main window in $build"
[ $fail -eq 0 ] && echo "include rules: all kept"
exit $fail
