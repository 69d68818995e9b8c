#!/usr/bin/env bash
# A console run of the real program, interrupted as a user would with Ctrl+C
# (SIGINT, which Wine delivers to a Windows console program as CTRL_C_EVENT):
# it must stop in order, log "Velmora VPN service runtime stopped" last and
# exit with 0.
#   console_interrupt.sh <bin-dir> <exe-suffix> [runner]
set -u
bin=$1
suffix=$2
runner=${3:-}
pipe="\\\\.\\pipe\\velmora-interrupt-$$"
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT

# The runner execs the program, so $! is the program's own process.
$runner "$bin/VelmoraVpnService$suffix" --console --pipe-name "$pipe" 2>"$errors" &
service=$!

for _ in $(seq 200); do
  if $runner "$bin/velmora-vpn-client$suffix" --pipe-name "$pipe" --timeout 200 ping >/dev/null 2>&1; then
    break
  fi
  sleep 0.05
done

kill -INT "$service"
wait "$service"
code=$?
last=$(tail -n 1 "$errors" | tr -d '\r' | cut -c 21-)

if [ "$code" -eq 0 ] && [ "$last" = "Velmora VPN service runtime stopped" ]; then
  echo "console run stopped by an interrupt: exit code 0, last line: $last"
  exit 0
fi
echo "unexpected: exit code $code, last line '$last'; standard error was:"
cat "$errors"
exit 1
