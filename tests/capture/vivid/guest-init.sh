#!/bin/busybox sh
# The guest's first process: load vivid and v4l2loopback, run stillcam against them as a web server
# would, write what came back to the results share, power off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do
  [ "$module" = vivid.ko ] || insmod "/modules/$module"
done
mount -t 9p -o trans=virtio,version=9p2000.L results /results || poweroff -f
touch /results/booted
insmod /modules/vivid.ko n_devs=1 node_types=0x1
# Loopback devices announce a capture side only while a producer feeds them, like a webcam that is
# plugged in; until then they are output nodes, which must not move vivid from driver index 1.
insmod /modules/v4l2loopback.ko devices=6 video_nr=10,11,12,13,14,15 exclusive_caps=1,1,1,1,1,1 \
  card_label=yuyv,mjpeg,mjpeg-no-dht,cut-alternate,cut,idle >/results/loopback.insmod 2>&1
ls -l /dev/video* >/results/devices 2>&1

uptime_ms() { read -r up _ </proc/uptime; echo "${up%.*}${up#*.}0"; }

# run NAME QUERY [VARIABLE=VALUE...]: one request with nothing else in the environment.
run() {
  name=$1 query=$2
  shift 2
  mkdir -p "/tmp/$name"
  start=$(uptime_ms)
  env -i "QUERY_STRING=$query" "TMPDIR=/tmp/$name" "$@" /stillcam >"/results/$name.out" 2>"/results/$name.err"
  echo $? >"/results/$name.status"
  printf %s $(($(uptime_ms) - start)) >"/results/$name.ms"
  # The share folder stays by design (one picture per size); anything else is left over.
  ls -A "/tmp/$name" | grep -v '^stillcam-share-' >"/results/$name.left"
}

run small ""
run small_caption "timestamp"
run medium "medium"
run medium_caption "medium&timestamp"
run large "large"
run large_caption "large&boldtimestamp"
run large_no_warm_up "large" STILLCAM_SKIP_FRAMES=0
v4l2-ctl -d /dev/video0 --get-fmt-video --get-parm >/results/format 2>&1

# Three simultaneous requests take turns on the device.
run together1 "large" & run together2 "medium" & run together3 "" &
wait

# Faults vivid can be told to show.
v4l2-ctl -d /dev/video0 -c inject_vidioc_streamon_error=1 >/results/streamon_error.ctl 2>&1
run streamon_error "large" STILLCAM_VERBOSE=1
v4l2-ctl -d /dev/video0 -c inject_v4l2_buf_flag_error=1 >/results/buf_flag_error.ctl 2>&1
run buf_flag_error "large" STILLCAM_VERBOSE=1 STILLCAM_SKIP_FRAMES=0

# Another program streaming from the camera, outside the lock stillcam takes: a quiet failure.
v4l2-ctl -d /dev/video0 --stream-mmap --stream-to=/dev/null >/dev/null 2>&1 &
streamer=$!
sleep 2
run busy_elsewhere "large" STILLCAM_VERBOSE=1
kill $streamer
wait $streamer

# Camera controls, set before the stream starts; vivid's brightness shows in its picture. Refused
# ones are reported and the rest still applied. The last case leaves vivid as it found it.
v4l2-ctl -d /dev/video0 --list-ctrls >/results/controls 2>&1
run controls_dark "large" STILLCAM_CONTROLS=brightness=40
run controls_refused "large" \
  STILLCAM_CONTROLS=no_such_control=1,read_only_integer_32_bits=5,menu=2,brightness=1000,integer_64_bits=9000000000,brightness=40
v4l2-ctl -d /dev/video0 --get-ctrl integer_64_bits >/results/controls_refused.int64 2>&1
run controls_default "large" STILLCAM_CONTROLS=brightness=128,integer_64_bits=0

# A camera mounted mirrored, upside down, or both.
run flip_h "large" STILLCAM_FLIP=h
run flip_v "large" STILLCAM_FLIP=v
run flip_hv_caption "large&timestamp" STILLCAM_FLIP=hv

# feed DEVICE MODE: a producer writes frames to the device from now on, as a webcam would deliver them.
feed() {
  rm -f /tmp/producer.ready
  loopback_producer "$1" "$2" >/tmp/producer.ready 2>>/results/producer.err &
  producer=$!
  waited=0
  until [ -s /tmp/producer.ready ] || [ $waited -ge 100 ]; do usleep 100000; waited=$((waited + 1)); done
}
stop_feeding() {
  kill -CONT $producer
  kill $producer
  wait $producer
}

feed /dev/video10 yuyv
run loopback_yuyv_large_caption "large&timestamp" STILLCAM_DEVICE=/dev/video10
run loopback_yuyv_medium "medium" STILLCAM_DEVICE=/dev/video10
stop_feeding
feed /dev/video11 mjpeg
run loopback_mjpeg "large" STILLCAM_DEVICE=/dev/video11
run loopback_mjpeg_medium "medium" STILLCAM_DEVICE=/dev/video11
stop_feeding
feed /dev/video12 mjpeg-no-dht
run loopback_mjpeg_no_dht "large" STILLCAM_DEVICE=/dev/video12
stop_feeding
# Frames cut short and not flagged, as UVC cameras deliver them on a busy bus: every other one, and all.
feed /dev/video13 mjpeg-cut-alternate
run loopback_cut_alternate_at_once "large" STILLCAM_DEVICE=/dev/video13 STILLCAM_SKIP_FRAMES=0
run loopback_cut_alternate_after_one "large" STILLCAM_DEVICE=/dev/video13 STILLCAM_SKIP_FRAMES=1
run loopback_cut_alternate "large" STILLCAM_DEVICE=/dev/video13
stop_feeding
feed /dev/video14 mjpeg-cut
run loopback_cut "large" STILLCAM_DEVICE=/dev/video14 STILLCAM_VERBOSE=1
stop_feeding
# A camera that stops sending: it hands over the frame it has, and then nothing more comes.
feed /dev/video11 mjpeg
kill -STOP $producer
run loopback_stopped "large" STILLCAM_DEVICE=/dev/video11 STILLCAM_VERBOSE=1
stop_feeding
run loopback_no_producer "large" STILLCAM_DEVICE=/dev/video15 STILLCAM_VERBOSE=1

# --- Sharing between simultaneous requests (begin) ---
# together NAME QUERY...: one request per QUERY, all at once, in one TMPDIR as a web server's runs
# share it (/tmp/NAME, or SHARE_TMP). Each request's answer in NAME.N.out and .status; the batch's
# wall time in NAME.ms.
together() {
  name=$1
  shift
  tmp=${SHARE_TMP:-/tmp/$name}
  mkdir -p "$tmp"
  start=$(uptime_ms)
  i=0
  for query in "$@"; do
    i=$((i + 1))
    (
      env -i "QUERY_STRING=$query" "TMPDIR=$tmp" $SHARE_ENV /stillcam >"/results/$name.$i.out" 2>"/results/$name.$i.err"
      echo $? >"/results/$name.$i.status"
    ) &
  done
  wait
  printf %s $(($(uptime_ms) - start)) >"/results/$name.ms"
}
# Twelve sanitized processes at once outlast the 10 s wait for the camera on the emulated core.
if [ ! -e /sanitized ]; then
  twelve="large&timestamp large&timestamp large&timestamp large&timestamp large&timestamp large&timestamp"
  twelve="$twelve $twelve"
  # What a dozen runs cost on the guest's one emulated core without any camera: the test source.
  SHARE_ENV=STILLCAM_DEVICE=test
  together share_processes $twelve
  SHARE_ENV=STILLCAM_SHARE=1
  run share_single "large&timestamp"
  together share_on $twelve
  SHARE_ENV=STILLCAM_SHARE=0
  together share_off $twelve
  SHARE_ENV=STILLCAM_SHARE=1
  run share_single_again "large&timestamp"
  # From here on every frame differs from the one before.
  v4l2-ctl -d /dev/video0 -c horizontal_movement=6 >/results/share_movement.ctl 2>&1
  together share_moving $twelve
  SHARE_TMP=/tmp/share_apart together share_apart1 "large&timestamp"
  usleep 1500000
  SHARE_TMP=/tmp/share_apart together share_apart2 "large&timestamp"
  together share_sizes "large&timestamp" "medium&timestamp" "timestamp" "large&timestamp" "medium&timestamp" \
    "timestamp" "large&timestamp" "medium&timestamp" "timestamp"
  ls -A /tmp/share_on >/results/share_on.left 2>&1
  ls -ld /tmp/share_on/stillcam-share-* >/results/share_on.folder 2>&1
  ls -A /tmp/share_on/stillcam-share-* >/results/share_on.kept 2>&1
  v4l2-ctl -d /dev/video0 -c horizontal_movement=3 >/dev/null 2>&1
fi
# --- Sharing between simultaneous requests (end) ---

dmesg | tail -n 30 >/results/dmesg
touch /results/done
sync
poweroff -f
