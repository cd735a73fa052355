#!/bin/busybox sh
# PID 1 of the test guest: loads the modules listed in /modules/order, unpacks
# the job (a tar written raw on the first disk) and runs it. Every line the job
# prints reaches the host over the serial console.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do insmod "/modules/$module.ko" || echo "GUEST insmod $module failed"; done
# Disks appear a moment after virtio_blk loads.
tries=0
while [ ! -b /dev/vda ] && [ "$tries" -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
mkdir -p /job
if tar -xf /dev/vda -C /job; then
  cd /job && sh -c '. ./guest.sh && . ./steps'
else
  echo "GUEST no job on /dev/vda"
fi
echo "GUEST done"
sync
poweroff -f
