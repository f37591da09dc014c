// The screenshot form of the reporter's assistants (resource "TZESCRSHOTFORM").
object ScrShotForm: TNVForm
  Message = 'Screenshot'
  Timer = 1000
  OnAction = 'zelExcept.HandleScreenshotForm'
  object ScrShotLabel: INVLabel
    Caption = 'This screenshot can be sent with the bug report. Click it to edit it.'
  end
  object ScrShotImg: INVImage
    Clickable = True
    Border = True
  end
  object AttachCheck: INVCheckBox
    Caption = 'attach the screenshot'
    Checked = True
  end
end
