#!/bin/sh
# Writes a few well-formed inputs per fuzz target under DIR/<target>/, as a
# (printf %b: octal escapes are \0nnn)
# starting corpus. Only our own code is instrumented, so without them the JSON
# targets rarely get past the parser.
set -eu
dir=${1:?usage: make-seeds.sh DIR}
seed() { mkdir -p "$dir/$1"; printf '%b' "$3" > "$dir/$1/seed-$2"; }

status='{"id":"123456789","name":"pc","platform":"linux","version":"1.0","server":"http://127.0.0.1:8787",'\
'"connected":true,"sharing":false,"auto_passcode":"abc123","passcode_mode":"both","has_fixed":true,"fps":30,'\
'"scale":0.5,"kbps":4000,"video":"h264","encoder":"x264","audio_on":true,"audio_source":"system",'\
'"monitors":[{"id":1,"name":"A","w":1920,"h":1080,"primary":true}],'\
'"sessions":[{"sid":"s1","viewer":"987654321","name":"v","info":{"app":"Velmo","os":"Linux","ver":"1"},'\
'"ip":"10.0.0.2","since":5,"authed":true,"relay":false,"input":true,"clip":false,"files":true}],'\
'"notice_bar":true,"controllers":[{"label":"laptop","pub":"MCowBQYDK2VwAyEAabcdefghijklmnopqrstuvwxyz","added":1700000000}],'\
'"eula_required":{"version":"2","hash":"ab","body":"# Terms"},"allow_ask":true,'\
'"asks":[{"sid":"a1","name":"n","ip":"10.0.0.3","at":3}],"input_perm":"denied","screen_perm":"granted"}'

seed controlstatus 1 "$status"
seed controlstatus 2 '[{"id":1,"name":"A","w":1,"h":2,"primary":false},{"sid":"a","name":"n","ip":"i","at":3},{"version":"1","hash":"h","body":"b"}]'
seed controlendpoint 1 '{"port":43210,"token":"0123456789abcdef","pid":4242}'
seed eventstream 1 "\\007data: $status\\r\\n: keep-alive\\n\\ndata: {\"id\":\"x\"}\\nevent: status\\ndata:{\"id\":\"y\"}\\n"
seed signaling 1 '{"type":"hello","id":"123456789"}'
seed signaling 2 '{"type":"answer","sid":"ab12cd34","payload":{"sdp":"v=0"}}'
seed signaling 3 '{"type":"ice","sid":"ab12cd34","to":"1","payload":{"candidate":"c","sdpMLineIndex":0,"sdpMid":"0"}}'
seed markdown 1 '# Title\n\nSome text\nmore text\n\n- a\n  * b\n12. c\n3) d\n> q\n---\n```\ncode\n```\n\0357\0274\0221. x\n\t\t- deep\r\n'
seed filechannel 1 '\003\0100\015\002\000\000\000\001\000\000\000\000abcd\015\002\000\000\000\002\000\000\000\000efgh\000\012\002\000\000\000\001\000\000\000\000z'
seed videochunks 1 '\015\002\000\000\000\001\000\000\000\000abcd'
seed restrecords 1 '{"id":"123456789","name":"pc","platform":"linux","online":true}'
seed restrecords 2 '[{"id":"123456789","name":"pc","platform":"linux","online":false}]'
seed restrecords 3 '{"urls":["turn:127.0.0.1:3478"],"username":"u","credential":"c"}'
seed ctrlmessage 1 '{"t":"challenge","nonce":"AAAA","auto_salt":"AAAA","fixed_salt":"AAAA","iters":100000,"monitors":[{"id":1,"name":"A","w":1920,"h":1080,"primary":true}]}'
seed devicelist 1 '[{"id":"123456789","name":"pc","alias":"home"},{"id":"1","name":"b"}]'
# cap byte, then: a masked text frame in two fragments with a ping between, and a close 1000
seed wsframes 1 '\377\001\202\000\000\000\000ab\211\200\000\000\000\000\200\201\000\000\000\000c\210\202\000\000\000\000\003\350'
