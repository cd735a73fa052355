#!/bin/busybox sh
# PID 1 of the test guest: loads the modules in /modules/order, unpacks the job (a tar written raw on the first
# disk) and runs it; what it prints reaches the host over the serial console.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do insmod "/modules/$module.ko" || echo "GUEST insmod $module failed"; done
for _ in $(seq 100); do [ -b /dev/vda ] && break; sleep 0.1; done  # disks appear a moment after virtio_blk loads
mkdir -p /job
if tar -xf /dev/vda -C /job; then
  cd /job && sh -c '. ./guest.sh && . ./steps'
else
  echo "GUEST no job on /dev/vda"
fi
echo "GUEST done"
sync
poweroff -f
