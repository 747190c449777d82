; GIMP 2.10 batch mode for bench/readers: opens each document, writes every layer (top first) as a
; PNG into its own folder and lists them in the log. Output goes to a file: batch mode drops the
; console output of scripts.
(define zz-port #f)
(define (zz-say s) (display s zz-port))
(define (zz-dump path outdir)
  (let* ((r (catch #f (gimp-file-load RUN-NONINTERACTIVE path path))))
    (if (not r)
        (zz-say (string-append "FAIL\t" path "\n"))
        (let* ((img (car r))
               (layers (vector->list (cadr (gimp-image-get-layers img))))
               (i 0))
          (zz-say (string-append "OPEN\t" path "\t" (number->string (length layers)) "\n"))
          (for-each
           (lambda (l)
             (let ((png (string-append outdir "/" (number->string i) ".png")))
               (catch #f (file-png-save-defaults RUN-NONINTERACTIVE img l png png))
               (zz-say (string-append "LAYER\t" path "\t" png "\t"
                                      (number->string (car (gimp-drawable-width l))) "\t"
                                      (number->string (car (gimp-drawable-height l))) "\t"
                                      (car (gimp-item-get-name l)) "\n"))
               (set! i (+ i 1))))
           layers)
          (gimp-image-delete img)))))
(define (zz-run log jobs)
  (set! zz-port (open-output-file log))
  (for-each (lambda (j) (zz-dump (car j) (cadr j))) jobs)
  (zz-say "DONE\n")
  (close-output-port zz-port))
