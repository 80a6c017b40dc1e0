#!/usr/bin/env bash
# parallel_recipe.sh MAKE_CORPUS BIN_DIR
# The README's GNU parallel recipes, as written there, against one run, on
# a few hundred thousand lines with empty lines among them: over the cores
# of this machine, and over two ssh hosts, played by a private sshd on the
# loopback address with the programs on its PATH. Exits 77 (a skip) where
# parallel is not installed; the hosts are skipped where sshd or rsync is
# not, unless LINECORE_REQUIRE_HOSTS is set, as CI sets it.
set -euo pipefail
command -v parallel >/dev/null || { echo "parallel is not installed"; exit 77; }
make_corpus=$1
bin_dir=$2
export PATH="$bin_dir:$PATH"
work=$(mktemp -d)
sshd_pid=
trap '[ -z "$sshd_pid" ] || kill "$sshd_pid"; rm -rf "$work"' EXIT
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

status=0
compare() {
  if cmp -s single.out "$2"; then
    echo "ok: $1 equals one run"
  else
    echo "FAIL: $1 differs from one run"
    status=1
  fi
}
for program in stepseal stepopen fixseal; do
  "$program" 42 <big.txt >single.out

  # The recipe for the cores of one machine:
  split -l 25600 -d -a 6 big.txt part.
  parallel -k "$program" 42 '<' {} ::: part.* >sealed.txt
  compare "$program on all cores" sealed.txt

  if [ -n "$hosts" ]; then
    # The recipe for several hosts; --ssh only points ssh at this test's keys.
    parallel -k -S host1,host2 --ssh "ssh -F $work/ssh_config" \
      --transferfile {} --cleanup "$program" 42 '<' {} ::: part.* >sealed.txt
    compare "$program on two hosts" sealed.txt
  fi
  rm -f part.*
done
exit $status
