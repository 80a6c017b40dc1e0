#!/usr/bin/env bash
# parallel_recipe.sh MAKE_CORPUS BIN_DIR SOURCE_DIR
# The GNU parallel recipe, run as README.md writes it, against one run, on
# a few hundred thousand lines with empty lines among them: over the cores
# of this machine, and over two ssh hosts, played by a private sshd on the
# loopback address with the programs on its PATH. A second run on a
# smaller file must not take in parts of the first. Each man page must
# show the same commands. Exits 77 (a skip) where parallel is not
# installed; the hosts are skipped where sshd or rsync is not, unless
# LINECORE_REQUIRE_HOSTS is set, as CI sets it.
set -euo pipefail
command -v parallel >/dev/null || { echo "parallel is not installed"; exit 77; }
make_corpus=$1
bin_dir=$2
source_dir=$3
export PATH="$bin_dir:$PATH"
work=$(mktemp -d)
sshd_pid=
trap '[ -z "$sshd_pid" ] || kill "$sshd_pid"; rm -rf "$work"' EXIT
status=0

# The recipe: the README's indented block that begins with the mktemp
# line, for stepseal; for hosts, its third line is the README's line that
# names them.
recipe=$(awk '/^    parts=\$\(mktemp -d\)$/ { on = 1 } on && /^$/ { exit } on { print substr($0, 5) }' "$source_dir/README.md")
hosts_line=$(grep -E '^    \(cd "\$parts" && parallel -k -S ' "$source_dir/README.md" | cut -c5-)
[ "$(wc -l <<<"$recipe")" -eq 4 ] && [ -n "$hosts_line" ] || { echo "FAIL: no recipe found in README.md"; exit 1; }
hosts_recipe=$(awk -v line="$hosts_line" 'NR == 3 { print line; next } { print }' <<<"$recipe")
echo "$recipe"

# Each man page shows the same lines for its own program, in roff.
for program in stepseal stepopen fixseal; do
  page=$(awk '/^\.EX$/ { block = "" ; on = 1; next } /^\.EE$/ { if (block ~ /mktemp/) printf "%s", block; on = 0 } on { block = block $0 "\n" }' \
    "$source_dir/man/$program.1.in" | sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g")
  if [ "$page" = "${recipe//stepseal/$program}" ]; then
    echo "ok: the $program man page shows the recipe"
  else
    printf 'FAIL: the %s man page shows another recipe:\n%s\n' "$program" "$page"
    status=1
  fi
done

cd "$work"
"$make_corpus" words 300007 >big.txt
[ "$(grep -c '^$' big.txt)" -gt 0 ] || { echo "corpus has no empty lines"; exit 1; }

hosts=
if [ -x /usr/sbin/sshd ] && command -v rsync >/dev/null; then
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
SetEnv PATH=$bin_dir:/usr/local/bin:/usr/bin:/bin
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
  [ -n "$hosts" ] || echo "sshd did not come up: hosts skipped"
else
  echo "no sshd or rsync: hosts skipped"
fi
if [ -z "$hosts" ] && [ -n "${LINECORE_REQUIRE_HOSTS:-}" ]; then
  echo "FAIL: the two-host recipe could not be checked"
  exit 1
fi

compare() {
  if cmp -s single.out out.txt; then
    echo "ok: $1 equals one run"
  else
    echo "FAIL: $1 differs from one run"
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
}
# The hosts are reached through this test's keys.
export PARALLEL_SSH="ssh -F $work/ssh_config"
cp big.txt whole.txt
for program in stepseal stepopen fixseal; do
  cp whole.txt big.txt
  "$program" 42 <big.txt >single.out
  run "$recipe" "$program"
  compare "$program on all cores"
  if [ -n "$hosts" ]; then
    run "$hosts_recipe" "$program"
    compare "$program on two hosts"
  fi

  # Run again on a smaller file: its output alone.
  head -n 1000 whole.txt >big.txt
  "$program" 42 <big.txt >single.out
  run "$recipe" "$program"
  compare "$program on all cores, run again on a smaller file"
done
exit $status
