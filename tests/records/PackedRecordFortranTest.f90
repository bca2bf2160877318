! Calls srtfva_, srtfpk_ and srtfup_ as the host's Fortran code does (external
! names, INTEGER(8) and LOGICAL(8) scalars by reference, no interface); stops
! with a non-zero code where the plan or a packed row's round trip differs.
program records_fortran_test
  implicit none
  integer(8), external :: srtfva
  external :: srtfpk, srtfup
  integer(8), parameter :: nkeys = 2, widraw = 6
  ! Key 1: numeric at unit 5, ascending; key 2: 12 bytes at unit 2, descending.
  integer(8) :: keys(nkeys, 3) = reshape([5_8, 2_8, 1_8, -1_8, 0_8, 12_8], [2, 3])
  integer(8) :: map(2 * (2 * nkeys + 1)), keylst(3 * (nkeys + 1)), nmap, nkmap, keywid, flags
  real(8) :: rows(widraw, 2), rec(16), back(widraw)
  integer :: r

  if (srtfva(nkeys, keys, keylst, map, nmap, nkmap, keywid, widraw, .true._8, .false._8) /= 0) stop 1
  if (nmap /= 5 .or. nkmap /= 2 .or. keywid /= 3) stop 2
  if (srtfva(nkeys, keys, keylst, map, nmap, nkmap, keywid, widraw, .true._8, .true._8) /= 0) stop 3
  if (any(map /= [2_8, 2_8, 5_8, 1_8, 1_8, 1_8, 4_8, 1_8, 6_8, 1_8])) stop 4
  if (any(keylst /= [3_8, 0_8, 1_8, 1_8, 12_8, -1_8, 1_8, -1_8, 1_8])) stop 5

  rows(:, 1) = [1.0_8, 0.0_8, 0.0_8, 0.5_8, 42.0_8, -99.0_8]
  rows(:, 2) = [-huge(1.0_8), 0.0_8, 0.0_8, 151.0_8, -0.0_8, 1.0e300_8]
  rows(2:3, 1) = transfer('                ', 0.0_8, 2)
  rows(2:3, 2) = transfer('HELLO WORLD     ', 0.0_8, 2)
  do flags = 0, 1
    do r = 1, 2
      call srtfpk(rows(:, r), rec, real(r, 8), map, keylst, nmap, nkmap, flags)
      if (transfer(rec(2), 0_8) /= transfer(real(r, 8), 0_8)) stop 6
      back = -1.0_8
      call srtfup(rec, back, map, keylst, nmap, nkmap, flags)
      if (any(transfer(back, 0_8, widraw) /= transfer(rows(:, r), 0_8, widraw))) stop 7
    end do
  end do
end program records_fortran_test
