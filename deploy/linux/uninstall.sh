#!/usr/bin/env bash
# Removes what Velmo Remote set up for this user and says what it did:
#   - the device's registration on the rendezvous server (when the local agent
#     answers and tells the device ID and server; the device proves itself with the
#     secret in its data directory, or an administrator token is used when stored),
#   - the resident agent: systemd user service velmo-remote-agent.service and its
#     copy in ~/.local/lib/velmo-remote/resident-agent (never the application's
#     own agent, which an install into ~/.local puts in ~/.local/lib/velmo-remote/agent),
#   - a running agent started from this user's data directory,
#   - the autostart entry ~/.config/autostart/velmo-remote.desktop,
#   - the data directory (device identity, logs), the settings directory,
#   - the administrator token in the Secret Service.
# Without --purge it only lists what it would remove.
# The application package itself (files under /usr) belongs to the package
# manager and is left alone.
#
# VELMO_SYSTEMCTL names the systemctl to use (tests put a recording one there).
set -uo pipefail

purge=0
for arg in "$@"; do
    case "$arg" in
    --purge) purge=1 ;;
    -h | --help)
        sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "不明なオプション: $arg" >&2
        exit 2
        ;;
    esac
done

home="${HOME:?HOME is not set}"
xdg_path() { # absolute XDG variable or the fallback
    case "${1:-}" in /*) printf '%s' "$1" ;; *) printf '%s' "$2" ;; esac
}
config_home="$(xdg_path "${XDG_CONFIG_HOME:-}" "$home/.config")"
data_home="$(xdg_path "${XDG_DATA_HOME:-}" "$home/.local/share")"

unit_name="velmo-remote-agent.service"
unit_file="$config_home/systemd/user/$unit_name"
resident_dir="$home/.local/lib/velmo-remote/resident-agent"
legacy_dirs=("$home/.local/lib/velmo-remote-host" "$home/.local/lib/VelmoRemoteAgent")
autostart="$config_home/autostart/velmo-remote.desktop"
data_dir="$data_home/velmo-remote"
settings_dir="$config_home/velmo-remote"
secret_attrs=(service com.tarnwick.velmoremote.desktop account adminToken)
systemctl="${VELMO_SYSTEMCTL:-$(command -v systemctl || true)}"

say() { printf '%s\n' "$*"; }
doing() { # description, command...
    local what="$1"
    shift
    if [ "$purge" -eq 0 ]; then
        say "削除予定: $what"
        return 0
    fi
    if "$@" 2>/dev/null; then
        say "削除しました: $what"
    else
        say "削除できませんでした: $what"
    fi
}

if [ "$purge" -eq 0 ]; then
    say "確認のみです(--purge を付けると実際に削除します)。"
fi

# 1. The registration on the server, while the agent can still tell its ID.
control="$data_dir/control.json"
agent_pid=""
if [ -f "$control" ] && command -v python3 >/dev/null 2>&1; then
    token_cmd=()
    if command -v secret-tool >/dev/null 2>&1; then
        token_cmd=(secret-tool lookup "${secret_attrs[@]}")
    fi
    admin_token="$( ((${#token_cmd[@]})) && "${token_cmd[@]}" 2>/dev/null || true)"
    result="$(CONTROL="$control" DEVICE_JSON="$data_dir/device.json" ADMIN_TOKEN="$admin_token" PURGE="$purge" python3 - <<'EOF' 2>/dev/null
import json, os, urllib.request, urllib.parse
try:
    c = json.load(open(os.environ["CONTROL"]))
    port, token, pid = int(c["port"]), str(c["token"]), int(c.get("pid", 0))
except Exception:
    print("noagent"); raise SystemExit
print("pid %d" % pid)
try:
    req = urllib.request.Request("http://127.0.0.1:%d/status" % port, headers={"Authorization": "Bearer " + token})
    st = json.load(urllib.request.urlopen(req, timeout=3))
    dev, server = str(st.get("id", "")), str(st.get("server", "")).rstrip("/")
except Exception:
    print("nostatus"); raise SystemExit
if not (len(dev) == 9 and dev.isdigit()) or not server.startswith(("http://", "https://")):
    print("noid"); raise SystemExit
print("device %s %s" % (dev, server))
# The device's own secret proves it is this device; an administrator token does too.
try:
    secret = str(json.load(open(os.environ["DEVICE_JSON"])).get("secret", ""))
except Exception:
    secret = ""
tok = os.environ.get("ADMIN_TOKEN", "").strip(" \t")
if secret:
    auth = "Device " + secret
elif tok:
    auth = "Bearer " + tok
else:
    print("nosecret"); raise SystemExit
if os.environ.get("PURGE") != "1":
    print("would"); raise SystemExit
try:
    req = urllib.request.Request(server + "/api/v1/devices/" + dev, method="DELETE",
                                 headers={"Authorization": auth})
    code = urllib.request.urlopen(req, timeout=8).status
    print("deleted" if code == 200 else "refused %d" % code)
except urllib.error.HTTPError as e:
    print("refused %d" % e.code)
except Exception:
    print("unreachable")
EOF
)"
    agent_pid="$(sed -n 's/^pid \([0-9]\+\)$/\1/p' <<<"$result")"
    device="$(sed -n 's/^device \([0-9]\+\) .*/\1/p' <<<"$result")"
    case "$result" in
    *deleted*) say "サーバー上の端末登録を消しました: $device" ;;
    *would*) say "削除予定: サーバー上の端末登録 $device" ;;
    *nosecret*) say "サーバー上の端末登録 $device は残ります(端末の秘密鍵も管理トークンもありません)" ;;
    *refused*) say "サーバー上の端末登録 $device を消せませんでした(サーバーが拒否: ${result##*refused })" ;;
    *unreachable*) say "サーバー上の端末登録 $device を消せませんでした(サーバーに届きません)" ;;
    *noid*) say "サーバー上の端末登録はありません(端末 ID が未発行です)" ;;
    *) say "サーバー上の端末登録は確認できませんでした(エージェントが応答しません)" ;;
    esac
else
    say "サーバー上の端末登録は確認できませんでした(エージェントが動いていません)"
fi

# 2. The resident agent's service.
if [ -n "$systemctl" ] && { [ -f "$unit_file" ] || "$systemctl" --user is-enabled "$unit_name" >/dev/null 2>&1; }; then
    doing "常駐サービス $unit_name の停止と無効化" "$systemctl" --user disable --now "$unit_name"
fi
if [ -f "$unit_file" ]; then
    doing "$unit_file" rm -f "$unit_file"
    if [ "$purge" -eq 1 ] && [ -n "$systemctl" ]; then
        "$systemctl" --user daemon-reload >/dev/null 2>&1 || true
    fi
fi

# 3. An agent still running from this data directory (a spawned one).
if [ -n "$agent_pid" ] && [ "$agent_pid" -gt 1 ] 2>/dev/null; then
    exe="$(readlink "/proc/$agent_pid/exe" 2>/dev/null || true)"
    if [ "$(basename -- "${exe% (deleted)}")" = "velmo-remote-host" ]; then
        doing "動作中のエージェント(pid $agent_pid)" kill -TERM "$agent_pid"
    fi
fi

# 4. Files and directories.
for dir in "$resident_dir" "${legacy_dirs[@]}"; do
    [ -e "$dir" ] && doing "$dir" rm -rf -- "$dir"
done
[ -e "$autostart" ] && doing "$autostart" rm -f -- "$autostart"
[ -e "$data_dir" ] && doing "$data_dir(端末の身元・ログ)" rm -rf -- "$data_dir"
[ -e "$settings_dir" ] && doing "$settings_dir(設定)" rm -rf -- "$settings_dir"

# 5. The token in the Secret Service.
if command -v secret-tool >/dev/null 2>&1; then
    if secret-tool lookup "${secret_attrs[@]}" >/dev/null 2>&1; then
        doing "キーリングの管理トークン" secret-tool clear "${secret_attrs[@]}"
    fi
else
    say "secret-tool がないため、キーリングの管理トークンは確認できませんでした"
fi

if [ "$purge" -eq 1 ]; then
    say "完了しました。アプリ本体はパッケージマネージャで削除してください。"
fi
exit 0
