#!/usr/bin/env bash
# The demonstration run by ./dev demo: one node with two peers and three
# shares, its own shares shown under the loopback directory, a short tour on
# the mounted volume, then an orderly stop. Arguments: the build directory,
# then optionally --keep (stay mounted until Ctrl-C).
set -uo pipefail

build=$(cd "${1:-build}" && pwd)
keep=0
[ "${2:-}" = "--keep" ] && keep=1
ostreld="$build/src/front/ostreld"
snap="$build/tools/ostrel-snap"

work=$(mktemp -d /tmp/ostrel-demo.XXXXXX)
mnt="$work/mnt"
daemon=""

cleanup() {
  if [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null; then
    kill -TERM "$daemon" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$daemon" 2>/dev/null
  fi
  if grep -q " $mnt fuse" /proc/mounts 2>/dev/null; then
    fusermount -u "$mnt" 2>/dev/null || fusermount -u -z "$mnt" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n\033[1m--- %s\033[0m\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; local rc=$?; [ $rc -eq 0 ] || printf '(exit status %d)\n' "$rc"; return 0; }

say "Three directories to share"
mkdir -p "$work/docs" "$work/photos/2026" "$work/music" "$mnt"
echo "Minutes of the first meeting" > "$work/docs/minutes.txt"
echo "Ostrel shares these files"    > "$work/docs/readme.txt"
head -c 300000 /dev/urandom          > "$work/photos/2026/beach.jpg"
echo "la la la"                      > "$work/music/song.txt"
run find "$work/docs" "$work/photos" "$work/music" -type f

say "A snapshot of photos, written by ostrel-snap into the share itself"
run "$snap" "$work/photos" "$work/photos/before-trip.snap"

say "The node's configuration: peers alice and bob, docs writable for alice only"
cat > "$work/node.json" <<JSON
{
  "id": "1",
  "listen": 0,
  "templates": [
    {"name": "family", "shares": [{"path": "$work/photos"}, {"path": "$work/music"}]}
  ],
  "peers": [
    {"id": "a11ce", "name": "alice", "secret": "alice-secret",
     "shares": ["family", {"path": "$work/docs"}], "writes": ["docs"]},
    {"id": "b0b", "name": "bob", "secret": "bob-secret",
     "shares": [{"path": "$work/docs"}, {"name": "photos", "path": "$work/photos"}]}
  ]
}
JSON
cat "$work/node.json"

say "Starting the daemon in the foreground with the loopback directory (-S) and two -v"
printf '$ %s\n' "ostreld -f -S -v -v -c node.json -m mnt"
(cd "$work" && exec "$ostreld" -f -S -v -v -c node.json -m mnt) &
daemon=$!
for _ in $(seq 100); do
  grep -q " $mnt fuse" /proc/mounts && break
  kill -0 "$daemon" 2>/dev/null || { echo "the daemon ended early"; exit 1; }
  sleep 0.1
done
grep -q " $mnt fuse" /proc/mounts || { echo "the volume did not appear"; exit 1; }

say "The volume: one directory per peer under Loopback, each with what that peer is offered"
run ls -l "$mnt" "$mnt/Loopback" "$mnt/Loopback/alice" "$mnt/Loopback/bob"

say "Reading through the volume"
run cat "$mnt/Loopback/alice/docs/minutes.txt"
run sh -c "cmp '$mnt/Loopback/bob/photos/2026/beach.jpg' '$work/photos/2026/beach.jpg' && echo 'beach.jpg: identical to the original'"

say "alice may write to docs: the file lands in the shared directory"
run sh -c "echo 'Agenda for next week' > '$mnt/Loopback/alice/docs/agenda.txt'"
run cat "$work/docs/agenda.txt"

say "bob's docs are read-only: the same write is refused"
run sh -c "echo 'scribble' > '$mnt/Loopback/bob/docs/scribble.txt'"

say "The snapshot appears beside its share as a read-only tree"
run ls -l "$mnt/Loopback/alice" "$mnt/Loopback/alice/photos.before-trip/2026"
run sh -c "touch '$mnt/Loopback/alice/photos.before-trip/new.txt'"

if [ "$keep" = 1 ]; then
  say "Mounted at $mnt — press Ctrl-C to stop the daemon and unmount"
  wait "$daemon"
else
  say "Stopping the daemon (SIGTERM): FUSE, then the network, then the filesystem"
  kill -TERM "$daemon"
  wait "$daemon"
  echo "daemon exit status $?"
fi
daemon=""
grep -q " $mnt fuse" /proc/mounts && echo "still mounted!" || echo "unmounted; nothing left running"
