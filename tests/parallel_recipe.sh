#!/usr/bin/env bash
# parallel_recipe.sh MAKE_CORPUS BIN_DIR SOURCE_DIR cores|hosts
# The GNU parallel recipes, run as docs/scaling.md writes them, against
# one run a file: one large file cut into parts, on sixty thousand lines
# with empty lines among them, and many files, one run a file. "cores"
# runs them on this machine, and checks that each man page shows the same
# commands; "hosts" runs them over two ssh hosts, played by a private sshd
# on the loopback address with the programs on its PATH. A second run on a
# smaller file must not take in parts of the first. Exits 77 (a skip)
# where parallel is not installed, and for hosts where sshd or rsync is
# not, unless LINECORE_REQUIRE_HOSTS is set, as CI sets it.
set -euo pipefail
parallel --version 2>/dev/null | grep -q '^GNU parallel' || { echo "GNU parallel is not installed"; exit 77; }
make_corpus=$1
bin_dir=$2
source_dir=$3
mode=$4
export PATH="$bin_dir:$PATH"
work=$(mktemp -d)
sshd_pid=
trap '[ -z "$sshd_pid" ] || kill "$sshd_pid"; rm -rf "$work"' EXIT
status=0

# The recipes: the document's indented block that begins with the mktemp
# line, for stepseal; for hosts, its third line is the document's line
# that names them. The many-files recipe is the document's indented line
# that runs parallel on stepseal, and its line that names hosts.
doc=docs/scaling.md
recipe=$(awk '/^    parts=\$\(mktemp -d\)$/ { on = 1 } on && /^$/ { exit } on { print substr($0, 5) }' "$source_dir/$doc")
hosts_line=$(grep -E '^    \(cd "\$parts" && parallel -k -S ' "$source_dir/$doc" | cut -c5-) || true
files_recipe=$(grep -E '^    parallel stepseal ' "$source_dir/$doc" | cut -c5-) || true
files_hosts_recipe=$(grep -E '^    (RSYNC_OLD_ARGS=1 )?parallel -S .* stepseal ' "$source_dir/$doc" | cut -c5-) || true
[ "$(wc -l <<<"$recipe")" -eq 4 ] && [ -n "$hosts_line" ] || { echo "FAIL: no recipe found in $doc"; exit 1; }
[ "$(wc -l <<<"$files_recipe")" -eq 1 ] && [ "$(wc -l <<<"$files_hosts_recipe")" -eq 1 ] &&
  [ -n "$files_recipe" ] && [ -n "$files_hosts_recipe" ] || { echo "FAIL: no many-files recipe found in $doc"; exit 1; }
hosts_recipe=$(awk -v line="$hosts_line" 'NR == 3 { print line; next } { print }' <<<"$recipe")
if [ "$mode" = hosts ]; then
  recipe=$hosts_recipe
  files_recipe=$files_hosts_recipe
fi
printf '%s\n%s\n' "$recipe" "$files_recipe"

# Each man page shows the same lines for its own program, in roff.
if [ "$mode" = cores ]; then
  for program in stepseal stepopen fixseal; do
    examples=$(awk '/^\.EX$/ { block = "" ; on = 1; next } /^\.EE$/ { if (block ~ /mktemp|parallel/) printf "%s", block; on = 0 } on { block = block $0 "\n" }' \
      "$source_dir/man/$program.1.in" | sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g")
    expected=$(printf '%s\n%s' "${files_recipe//stepseal/$program}" "${recipe//stepseal/$program}")
    if [ "$examples" = "$expected" ]; then
      echo "ok: the $program man page shows the recipes"
    else
      printf 'FAIL: the %s man page shows other recipes:\n%s\n' "$program" "$examples"
      status=1
    fi
  done
fi

cd "$work"
"$make_corpus" words 60007 >big.txt
[ "$(grep -c '^$' big.txt)" -gt 0 ] || { echo "corpus has no empty lines"; exit 1; }

# On this machine the parts run in reverse order of their numbers: the
# program waits a little on the first part, so output gathered in the
# order the parts end would show.
mkdir wrapped remote
for program in stepseal stepopen fixseal; do
  cat >"wrapped/$program" <<WRAPPER
#!/bin/sh
case \$(readlink /proc/\$\$/fd/0) in */part.000000) sleep 0.5 ;; esac
exec "$bin_dir/$program" "\$@"
WRAPPER
  chmod +x "wrapped/$program"
done
cores_path=$work/wrapped:/usr/local/bin:/usr/bin:/bin
export PATH="$work/wrapped:$PATH"

hosts=
if [ "$mode" = cores ]; then
  :
elif [ -x /usr/sbin/sshd ] && command -v rsync >/dev/null; then
  ssh-keygen -q -t ed25519 -N '' -f host_key
  ssh-keygen -q -t ed25519 -N '' -f user_key
  cp user_key.pub authorized_keys
  port=$((20000 + RANDOM % 20000))
  cat >sshd_config <<CONFIG
ListenAddress 127.0.0.1
Port $port
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
StrictModes no
PasswordAuthentication no
SetEnv PATH=$cores_path
# The hosts' own folder, in place of the home folder that other runs
# share: the recipes must leave it empty.
ForceCommand cd $work/remote && eval "\$SSH_ORIGINAL_COMMAND"
CONFIG
  for host in host1 host2; do
    cat >>ssh_config <<CONFIG
Host $host
  HostName 127.0.0.1
  Port $port
  User $(id -un)
  IdentityFile $work/user_key
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
CONFIG
  done
  mkdir -p /run/sshd 2>/dev/null || true
  /usr/sbin/sshd -D -f sshd_config &
  sshd_pid=$!
  for _ in $(seq 50); do
    ssh -F ssh_config host1 true 2>/dev/null && { hosts=yes; break; }
    sleep 0.1
  done
  [ -n "$hosts" ] || echo "sshd did not come up"
else
  echo "no sshd or rsync"
fi
if [ "$mode" = hosts ] && [ -z "$hosts" ]; then
  if [ -n "${LINECORE_REQUIRE_HOSTS:-}" ]; then
    echo "FAIL: the two-host recipes could not be checked"
    exit 1
  fi
  exit 77
fi

compare() { # compare WHAT EXPECTED ACTUAL
  if cmp -s "$2" "$3"; then
    echo "ok: $1 equals one run"
  else
    echo "FAIL: $1 differs from one run"
    status=1
  fi
}
# nothing_left_on_hosts: the hosts' folder is empty.
nothing_left_on_hosts() {
  if [ -n "$(ls -A "$work/remote")" ]; then
    echo "FAIL: the recipe left files on the hosts: $(ls -A "$work/remote" | head -n 3 | tr '\n' ' ')"
    rm -rf "${work:?}"/remote/* "${work:?}"/remote/.[!.]*
    status=1
  fi
}
# run RECIPE PROGRAM: the recipe's lines for PROGRAM, here; no parts left.
run() {
  eval "${1//stepseal/$2}"
  if [ -e "$parts" ] || compgen -G 'part.*' >/dev/null; then
    echo "FAIL: the recipe left parts behind"
    status=1
  fi
  nothing_left_on_hosts
}
# The hosts are reached through this test's keys.
export PARALLEL_SSH="ssh -F $work/ssh_config"
where="on all cores"
[ "$mode" = cores ] || where="on two hosts"
cp big.txt whole.txt
for program in stepseal stepopen fixseal; do
  cp whole.txt big.txt
  "$program" 42 <big.txt >single.out
  run "$recipe" "$program"
  compare "$program $where" single.out out.txt

  # Run again on a smaller file: its output alone.
  head -n 1000 whole.txt >big.txt
  "$program" 42 <big.txt >single.out
  run "$recipe" "$program"
  compare "$program $where, run again on a smaller file" single.out out.txt
done

# Many files, one run a file, each from its first line: files of other
# sizes, one empty, one without a last newline, names with a space.
mkdir many
(
  cd many
  head -n 30000 ../whole.txt >'one file.txt'
  tail -n 300 ../whole.txt >two.txt
  : >empty.txt
  printf 'no newline' >last.txt
)
for program in stepseal stepopen fixseal; do
  (cd many && eval "${files_recipe//stepseal/$program}")
  nothing_left_on_hosts
  for file in many/*.txt; do
    "$program" 42 <"$file" >single.out
    compare "$program $where on '$file'" single.out "$file.sealed"
  done
  rm many/*.sealed
done
exit $status
