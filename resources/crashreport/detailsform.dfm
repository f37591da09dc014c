// The details form of the reporter's assistants (resource "TZEDETAILSFORM").
object DetailsForm: TNVForm
  Message = 'Error details'
  ActiveControl = 'DetailsEdit'
  object DetailsLabel: INVLabel
    Caption = 'What were you doing when the error occurred?'
  end
  object DetailsEdit: INVEdit
    Lines = 9
    Optional = True
    OutputType = 'nvoOwnSection'
    OutputName = 'error details'
  end
end
